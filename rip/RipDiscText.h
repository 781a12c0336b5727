// What the rip reads from the disc besides the tracks themselves, straight
// through libcdio: the CD-Text of the album and of each track, each track's
// ISRC and the disc's media catalogue number.
//
// The drive library answers none of these (it reads the album title only, as
// the volume label), so they are read here, on the drive's device path (a
// virtual drive: its image path), before the grab starts, never
// while the drive library reads: libcdio's image parsers share global state.
#pragma once

#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace rip {

struct TCdTextTrack {
    QString Title, Performer, Songwriter, Composer, Isrc;
    // The track's layout besides its TOC entry: where its INDEX 00 starts when it lies
    // before INDEX 01 (-1: no pregap), the silence a CUE sheet's PREGAP command adds (not in
    // the image), and the pre-emphasis flag of its control bits (CUE FLAGS PRE).
    int32_t Index00 = -1;
    int32_t PregapSilence = 0; // sectors
    bool PreEmphasis = false;
};

struct TDiscText {
    QString AlbumTitle, AlbumPerformer, Mcn;
    std::map<int, TCdTextTrack> Tracks; // by track number
};

class TDiscReader {
public:
    TDiscReader();
    ~TDiscReader();
    TDiscReader(const TDiscReader&) = delete;
    TDiscReader& operator=(const TDiscReader&) = delete;

    // Opens the disc at path (a device or an image file). False when libcdio
    // cannot open it.
    bool Open(const QString& path);
    void Close();

    // CD-Text, ISRC and MCN of the tracks first..last, made safe by DiscText,
    // ValidIsrc and ValidMcn; and their pregaps and pre-emphasis.
    TDiscText ReadText(int firstTrack, int lastTrack) const;
    // The open disc is an image file (its pregaps come with ReadText), not a drive.
    bool IsImage() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl_;
};

// The pregaps of the disc in the real drive at devicePath, which libcdio does not read: each
// audio track's INDEX 00 as the drive library finds it in the Q sub-channel, into text's
// tracks (a track the Q does not settle keeps what it had). Returns a note when the drive
// cannot tell (no Q sub-channel, no disc, some tracks unknown), else empty.
QString ReadDrivePregaps(const QString& devicePath, TDiscText& text);

// What ReadText makes of the disc's texts, so that none can reach a terminal, the log, the
// cue sheet or a file name as a command: control characters (C0, DEL and C1) dropped,
// blanks at both ends trimmed.
QString DiscText(const QString& text);
// An ISRC only as 12 letters and digits (upper case), an MCN only as 13 digits, not all
// zeros; anything else is empty: the disc does not tell.
QString ValidIsrc(const QString& text);
QString ValidMcn(const QString& text);

// The PREGAP commands of a CUE sheet's text: track number -> sectors of silence.
std::map<int, int32_t> CuePregaps(const QByteArray& cue);

// libcdio reads the text of a CUE or TOC file as ISO 8859-1 and re-encodes it;
// such files are mostly written in UTF-8. When the bytes libcdio read are valid
// UTF-8 they are the text as written, else its reading stands.
QString ImageText(const char* decoded);

} // namespace rip
