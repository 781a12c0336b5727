#include "MetaTags.h"

#include "FileNames.h"

#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/asftag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/uniquefileidentifierframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace meta {

namespace {

// One tag in every container's spelling; empty: the container has no place for it.
struct TTagName {
    const char* Vorbis;
    const char* Id3; // a frame id, or "TXXX:description", or "UFID"
    const char* Mp4; // an atom, or "----:com.apple.iTunes:name"
    const char* Asf; // an attribute; "" for the tag's own title and artist
};

enum TTagId {
    tTitle,
    tArtist,
    tAlbum,
    tAlbumArtist,
    tDate,
    tGenre,
    tIsrc,
    tSongwriter,
    tComposer,
    tBarcode,
    tLabel,
    tCatalog,
    tAlbumId,
    tGroupId,
    tAlbumArtistId,
    tArtistId,
    tTrackId,
    tReleaseTrackId,
    tDiscId,
    tCount
};

const TTagName kNames[tCount] = {
    {"TITLE", "TIT2", "\xA9nam", ""},
    {"ARTIST", "TPE1",
     "\xA9"
     "ART",
     ""},
    {"ALBUM", "TALB",
     "\xA9"
     "alb",
     "WM/AlbumTitle"},
    {"ALBUMARTIST", "TPE2", "aART", "WM/AlbumArtist"},
    {"DATE", "TDRC",
     "\xA9"
     "day",
     "WM/Year"},
    {"GENRE", "TCON", "\xA9gen", "WM/Genre"},
    {"ISRC", "TSRC", "----:com.apple.iTunes:ISRC", "WM/ISRC"},
    {"LYRICIST", "TEXT", "----:com.apple.iTunes:LYRICIST", "WM/Writer"},
    {"COMPOSER", "TCOM", "\xA9wrt", "WM/Composer"},
    {"BARCODE", "TXXX:BARCODE", "----:com.apple.iTunes:BARCODE", "WM/Barcode"},
    {"LABEL", "TPUB", "----:com.apple.iTunes:LABEL", "WM/Publisher"},
    {"CATALOGNUMBER", "TXXX:CATALOGNUMBER", "----:com.apple.iTunes:CATALOGNUMBER", "WM/CatalogNo"},
    {"MUSICBRAINZ_ALBUMID", "TXXX:MusicBrainz Album Id",
     "----:com.apple.iTunes:MusicBrainz Album Id", "MusicBrainz/Album Id"},
    {"MUSICBRAINZ_RELEASEGROUPID", "TXXX:MusicBrainz Release Group Id",
     "----:com.apple.iTunes:MusicBrainz Release Group Id", "MusicBrainz/Release Group Id"},
    {"MUSICBRAINZ_ALBUMARTISTID", "TXXX:MusicBrainz Album Artist Id",
     "----:com.apple.iTunes:MusicBrainz Album Artist Id", "MusicBrainz/Album Artist Id"},
    {"MUSICBRAINZ_ARTISTID", "TXXX:MusicBrainz Artist Id",
     "----:com.apple.iTunes:MusicBrainz Artist Id", "MusicBrainz/Artist Id"},
    {"MUSICBRAINZ_TRACKID", "UFID", "----:com.apple.iTunes:MusicBrainz Track Id",
     "MusicBrainz/Track Id"},
    {"MUSICBRAINZ_RELEASETRACKID", "TXXX:MusicBrainz Release Track Id",
     "----:com.apple.iTunes:MusicBrainz Release Track Id", "MusicBrainz/Release Track Id"},
    {"MUSICBRAINZ_DISCID", "TXXX:MusicBrainz Disc Id", "----:com.apple.iTunes:MusicBrainz Disc Id",
     "MusicBrainz/Disc Id"},
};

// The values of one track; numbers apart (each container writes them its own way).
struct TTrackTags {
    QString Values[tCount];
    int Number = 0, Total = 0, Disc = 0, Discs = 0;
    TReplayGain Gain;
    QString CueSheet;
    bool HasNumber() const { return Number != kWholeDisc; }
};

// The ReplayGain fields of a track, names in upper case; Opus's R128 pair when r128.
std::vector<std::pair<std::string, QString>> GainFields(const TReplayGain& g, bool r128) {
    std::vector<std::pair<std::string, QString>> fields;
    if (r128) {
        if (g.Track)
            fields.emplace_back("R128_TRACK_GAIN", QString::number(R128Gain(g.TrackGain)));
        if (g.Album)
            fields.emplace_back("R128_ALBUM_GAIN", QString::number(R128Gain(g.AlbumGain)));
        return fields;
    }
    if (g.Track) {
        fields.emplace_back("REPLAYGAIN_TRACK_GAIN", GainText(g.TrackGain));
        fields.emplace_back("REPLAYGAIN_TRACK_PEAK", PeakText(g.TrackPeak));
    }
    if (g.Album) {
        fields.emplace_back("REPLAYGAIN_ALBUM_GAIN", GainText(g.AlbumGain));
        fields.emplace_back("REPLAYGAIN_ALBUM_PEAK", PeakText(g.AlbumPeak));
    }
    if (g.Track || g.Album)
        fields.emplace_back("REPLAYGAIN_REFERENCE_LOUDNESS",
                            QStringLiteral("%1 LUFS").arg(kReplayGainReference, 0, 'f', 2));
    return fields;
}

TTrackTags TagsOf(const TDiscMeta& d, int number) {
    TTrackTags t;
    const TTrackMeta* track = d.Track(number);
    const TTrackMeta none{};
    const TTrackMeta& tr = track ? *track : none;
    const QString values[tCount] = {
        tr.Title,    tr.Artist,       d.Album,           d.Artist,         d.Date,
        d.Genre,     tr.Isrc,         tr.Songwriter,     tr.Composer,      d.Barcode,
        d.Label,     d.CatalogNumber, d.ReleaseId,       d.ReleaseGroupId, d.AlbumArtistId,
        tr.ArtistId, tr.RecordingId,  tr.ReleaseTrackId, d.DiscId};
    for (int i = 0; i < tCount; ++i)
        t.Values[i] = values[i];
    if (number == kWholeDisc) {
        t.Values[tTitle] = d.Album;
        t.Values[tArtist] = d.Artist;
    }
    t.Number = number;
    t.Total = static_cast<int>(std::count_if(d.Tracks.begin(), d.Tracks.end(),
                                             [](const TTrackMeta& m) { return m.Number > 0; }));
    t.Disc = d.DiscNumber;
    t.Discs = d.DiscTotal;
    return t;
}

TagLib::String Str(const QString& s) {
    return TagLib::String(s.toStdString(), TagLib::String::UTF8);
}

TagLib::ByteVector Bytes(const QByteArray& b) {
    return TagLib::ByteVector(b.constData(), static_cast<unsigned int>(b.size()));
}

QString Pair(int n, int total) {
    return total > 0 ? QStringLiteral("%1/%2").arg(n).arg(total) : QString::number(n);
}

// ---- Vorbis comments (FLAC, Ogg Vorbis, Opus) ---------------------------------------------

void WriteXiph(TagLib::Ogg::XiphComment& x, const TTrackTags& t, const TCover& cover,
               bool opus = false) {
    x.removeAllFields();
    x.removeAllPictures();
    for (int i = 0; i < tCount; ++i)
        if (!t.Values[i].isEmpty())
            x.addField(kNames[i].Vorbis, Str(t.Values[i]));
    if (t.HasNumber())
        x.addField("TRACKNUMBER", TagLib::String::number(t.Number));
    if (t.Total > 0)
        x.addField("TRACKTOTAL", TagLib::String::number(t.Total));
    if (!t.CueSheet.isEmpty())
        x.addField("CUESHEET", Str(t.CueSheet));
    if (t.Disc > 0) {
        x.addField("DISCNUMBER", TagLib::String::number(t.Disc));
        if (t.Discs > 0)
            x.addField("DISCTOTAL", TagLib::String::number(t.Discs));
    }
    for (const auto& [name, value] : GainFields(t.Gain, opus))
        x.addField(name, Str(value));
    if (!cover.Bytes.isEmpty()) {
        auto* picture = new TagLib::FLAC::Picture; // owned by the comment from here
        picture->setType(TagLib::FLAC::Picture::FrontCover);
        picture->setMimeType(Str(cover.Mime));
        picture->setData(Bytes(cover.Bytes));
        x.addPicture(picture);
    }
}

bool SaveFlac(const QByteArray& name, const TTrackTags& t, const TCover& cover) {
    TagLib::FLAC::File file(name.constData());
    if (!file.isValid())
        return false;
    WriteXiph(*file.xiphComment(true), t, cover);
    // A FLAC file's pictures are blocks of their own, not comments.
    TagLib::Ogg::XiphComment* x = file.xiphComment();
    x->removeAllPictures();
    file.removePictures();
    if (!cover.Bytes.isEmpty()) {
        auto* picture = new TagLib::FLAC::Picture;
        picture->setType(TagLib::FLAC::Picture::FrontCover);
        picture->setMimeType(Str(cover.Mime));
        picture->setData(Bytes(cover.Bytes));
        file.addPicture(picture);
    }
    return file.save();
}

template <class TFile>
bool SaveOgg(const QByteArray& name, const TTrackTags& t, const TCover& cover, bool opus) {
    TFile file(name.constData());
    if (!file.isValid() || !file.tag())
        return false;
    WriteXiph(*file.tag(), t, cover, opus);
    return file.save();
}

// ---- ID3v2.4 -------------------------------------------------------------------------------

void SetId3(TagLib::ID3v2::Tag& tag, const char* name, const QString& value) {
    const std::string id(name);
    if (id == "UFID") {
        tag.addFrame(new TagLib::ID3v2::UniqueFileIdentifierFrame("http://musicbrainz.org",
                                                                  Bytes(value.toUtf8())));
    } else if (id.rfind("TXXX:", 0) == 0) {
        auto* frame = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::UTF8);
        frame->setDescription(TagLib::String(id.substr(5), TagLib::String::UTF8));
        frame->setText(Str(value));
        tag.addFrame(frame);
    } else {
        auto* frame = new TagLib::ID3v2::TextIdentificationFrame(TagLib::ByteVector(name),
                                                                 TagLib::String::UTF8);
        frame->setText(Str(value));
        tag.addFrame(frame);
    }
}

bool SaveMp3(const QByteArray& name, const TTrackTags& t, const TCover& cover) {
    TagLib::MPEG::File file(name.constData());
    if (!file.isValid())
        return false;
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
    while (!tag->frameList().isEmpty())
        tag->removeFrame(tag->frameList().front());
    for (int i = 0; i < tCount; ++i)
        if (!t.Values[i].isEmpty())
            SetId3(*tag, kNames[i].Id3, t.Values[i]);
    if (t.HasNumber())
        SetId3(*tag, "TRCK", Pair(t.Number, t.Total));
    if (t.Disc > 0)
        SetId3(*tag, "TPOS", Pair(t.Disc, t.Discs));
    for (const auto& [field, value] : GainFields(t.Gain, false))
        SetId3(*tag, ("TXXX:" + field).c_str(), value);
    if (!cover.Bytes.isEmpty()) {
        auto* apic = new TagLib::ID3v2::AttachedPictureFrame;
        apic->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        apic->setMimeType(Str(cover.Mime));
        apic->setPicture(Bytes(cover.Bytes));
        tag->addFrame(apic);
    }
    return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4);
}

// ---- MP4 -------------------------------------------------------------------------------------

bool SaveMp4(const QByteArray& name, const TTrackTags& t, const TCover& cover) {
    TagLib::MP4::File file(name.constData());
    if (!file.isValid() || !file.tag())
        return false;
    TagLib::MP4::Tag* tag = file.tag();
    const TagLib::MP4::ItemMap items = tag->itemMap(); // a copy: removing changes the map
    for (const auto& [key, item] : items)
        static_cast<void>(item), tag->removeItem(key);
    for (int i = 0; i < tCount; ++i)
        if (!t.Values[i].isEmpty())
            tag->setItem(kNames[i].Mp4, TagLib::StringList(Str(t.Values[i])));
    if (t.HasNumber())
        tag->setItem("trkn", TagLib::MP4::Item(t.Number, t.Total));
    if (t.Disc > 0)
        tag->setItem("disk", TagLib::MP4::Item(t.Disc, t.Discs));
    for (const auto& [field, value] : GainFields(t.Gain, false))
        tag->setItem(
            Str(QStringLiteral("----:com.apple.iTunes:") + QString::fromStdString(field).toLower()),
            TagLib::StringList(Str(value)));
    if (!cover.Bytes.isEmpty()) {
        TagLib::MP4::CoverArtList covers;
        covers.append(TagLib::MP4::CoverArt(cover.Mime == QLatin1String("image/png")
                                                ? TagLib::MP4::CoverArt::PNG
                                                : TagLib::MP4::CoverArt::JPEG,
                                            Bytes(cover.Bytes)));
        tag->setItem("covr", TagLib::MP4::Item(covers));
    }
    return file.save();
}

// ---- ASF (WMA) -------------------------------------------------------------------------------

bool SaveWma(const QByteArray& name, const TTrackTags& t, const TCover& cover) {
    TagLib::ASF::File file(name.constData());
    if (!file.isValid() || !file.tag())
        return false;
    TagLib::ASF::Tag* tag = file.tag();
    const TagLib::ASF::AttributeListMap attributes = tag->attributeListMap(); // a copy
    for (const auto& [key, list] : attributes)
        static_cast<void>(list), tag->removeItem(key);
    tag->setTitle(Str(t.Values[tTitle]));
    tag->setArtist(Str(t.Values[tArtist]));
    for (int i = 0; i < tCount; ++i)
        if (*kNames[i].Asf && !t.Values[i].isEmpty())
            tag->setAttribute(kNames[i].Asf, TagLib::ASF::Attribute(Str(t.Values[i])));
    if (t.HasNumber())
        tag->setAttribute("WM/TrackNumber",
                          TagLib::ASF::Attribute(TagLib::String::number(t.Number)));
    if (t.Disc > 0)
        tag->setAttribute("WM/PartOfSet", TagLib::ASF::Attribute(Str(Pair(t.Disc, t.Discs))));
    for (const auto& [field, value] : GainFields(t.Gain, false))
        tag->setAttribute(field, TagLib::ASF::Attribute(Str(value)));
    if (!cover.Bytes.isEmpty()) {
        TagLib::ASF::Picture picture;
        picture.setType(TagLib::ASF::Picture::FrontCover);
        picture.setMimeType(Str(cover.Mime));
        picture.setPicture(Bytes(cover.Bytes));
        tag->setAttribute("WM/Picture", TagLib::ASF::Attribute(picture));
    }
    return file.save();
}

} // namespace

TTagKind TagKindForSuffix(const QString& suffix) {
    const QString s = suffix.toLower();
    if (s == QLatin1String("mp3"))
        return TTagKind::Mp3;
    if (s == QLatin1String("flac"))
        return TTagKind::Flac;
    if (s == QLatin1String("ogg") || s == QLatin1String("oga"))
        return TTagKind::OggVorbis;
    if (s == QLatin1String("opus"))
        return TTagKind::Opus;
    if (s == QLatin1String("m4a") || s == QLatin1String("mp4") || s == QLatin1String("aac"))
        return TTagKind::Mp4;
    if (s == QLatin1String("wma"))
        return TTagKind::Wma;
    return TTagKind::None;
}

QString GainText(double gain) {
    return QStringLiteral("%1 dB").arg(gain, 0, 'f', 2);
}

QString PeakText(double peak) {
    return QString::number(peak, 'f', 6);
}

int R128Gain(double replayGain) {
    const double q78 = std::round((replayGain + kR128Reference - kReplayGainReference) * 256.0);
    return static_cast<int>(std::clamp(q78, -32768.0, 32767.0));
}

bool WriteTags(const QString& path, TTagKind kind, const TDiscMeta& disc, int number,
               const TCover& cover, QString& error, const TReplayGain& gain,
               const QString& cueSheet) {
    const QByteArray name = FileNameBytes(path);
    TTrackTags t = TagsOf(disc, number);
    t.Gain = gain;
    t.CueSheet = cueSheet;
    bool ok = true;
    switch (kind) {
    case TTagKind::None:
        return true;
    case TTagKind::Mp3:
        ok = SaveMp3(name, t, cover);
        break;
    case TTagKind::Flac:
        ok = SaveFlac(name, t, cover);
        break;
    case TTagKind::OggVorbis:
        ok = SaveOgg<TagLib::Ogg::Vorbis::File>(name, t, cover, false);
        break;
    case TTagKind::Opus:
        ok = SaveOgg<TagLib::Ogg::Opus::File>(name, t, cover, true);
        break;
    case TTagKind::Mp4:
        ok = SaveMp4(name, t, cover);
        break;
    case TTagKind::Wma:
        ok = SaveWma(name, t, cover);
        break;
    }
    if (!ok)
        error = QStringLiteral("%1: the tags could not be written (not a readable file of its "
                               "kind, or it cannot be saved)")
                    .arg(path);
    return ok;
}

} // namespace meta
