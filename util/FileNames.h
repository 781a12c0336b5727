// File names are bytes; the program's texts are QString. These two functions
// are the one way between them, in both directions, for every layer.
//
// Qt 6's QFile::encodeName / decodeName (UTF-8 on Linux) turn bytes that are
// not UTF-8 into U+FFFD, so two such names would become one and neither could
// be reached again. FileNameFromBytes decodes like QFile::decodeName and keeps
// each byte outside valid UTF-8 as the lone surrogate U+DC80..U+DCFF;
// FileNameBytes encodes like QFile::encodeName and gives those bytes back.
// Names that are valid UTF-8 come out exactly as Qt's own functions give them.
//
// Pure functions, any thread.
#pragma once

#include <QByteArray>
#include <QString>

// FileNameFromBytes(FileNameBytes(n)) == n for every name made by FileNameFromBytes,
// and FileNameBytes(FileNameFromBytes(b)) == b for all bytes b.
QByteArray FileNameBytes(const QString& name);
QString FileNameFromBytes(const QByteArray& bytes);

// The name made absolute against the working folder, as bytes (the working folder may
// not be valid UTF-8 either); the name itself when the working folder cannot be named.
QByteArray AbsoluteNameBytes(const QByteArray& name);
