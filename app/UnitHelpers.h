// File, folder and shell helpers of the application: the program and desktop
// folders, the folder dialog behind "Browse...", the deletion of a run's
// "Temp/" folder tree, the test whether a grabbed WAV file is still being
// written, and the test whether a folder lies on an optical disc.
//
// Callers: the main window and its run controller.
//
// Threads: BrowseForFolder and CenterBrowseDialog show or move widgets and are
// called on the main thread (BrowseForFolder hands the dialog to the main
// thread when called from another one). The other functions may be called from
// any thread; DeleteFolderTree shows the busy cursor only when it runs on the
// main thread of a QApplication.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>

class QWidget;

// The running program's folder with a trailing "/".
QString ProgramFolder();

// A special folder of the user: 0 is the desktop. No trailing "/". Other
// numbers, or a desktop the system cannot name: an empty string.
QString SpecialFolderPath(int folder);

// Deletes everything inside `folder` (hidden entries, those whose names start
// with ".", included; read-only entries are made writable first) and, when
// `remove` is true, the folder itself. Symbolic links are deleted as links and
// never followed, so nothing outside the tree is touched. Entries that cannot be
// deleted are left in place; a folder that does not exist and an empty or blank
// name do nothing.
void DeleteFolderTree(const QString& folder, bool remove);

// True while another open file holds a lock on `file`: the drive library's WAV
// writer keeps an exclusive flock on its output until the file is complete. (It
// writes under a hidden temporary name and renames the file when done, so the
// final name appears with the lock still held for a moment.) False for a file
// that does not exist.
bool FileInUse(const QString& file);

// True when the folder lies on a file system mounted from an optical drive
// (/dev/sr*, /dev/scd*, /dev/cdrom*, block major 11) or of an optical-disc type
// (iso9660, udf). A folder that does not exist yet is judged by its nearest
// existing ancestor. False for an empty name.
bool IsCdRomFolder(const QString& folder);

// The same test on a given mount table: `mountInfo` in the format of
// /proc/self/mountinfo, `canonicalPath` an absolute path without symbolic
// links, "." or ".." (as bytes of the file system). The mount whose mount point
// is the longest prefix of the path decides; of mounts stacked on one point the
// last one listed.
bool IsCdRomMount(const QByteArray& mountInfo, const QByteArray& canonicalPath);

// Asks the user for a folder. A `folder` that does not exist is not preselected.
// When sbdlg::FolderDialogOverride() is set, it is asked instead of showing a
// dialog; otherwise a modal folder dialog owned by the active window is shown,
// centred on the screen, limited to `root` when that is not empty. Confirmed:
// `folder` := the chosen folder as an absolute path with a trailing "/", true.
// Cancelled, or no QApplication to show the dialog: false, `folder` unchanged.
bool BrowseForFolder(const QString& title, const QString& root, QString& folder);

// Moves the dialog so that it is centred on its screen (the primary screen
// when it has none): left = (screen width - dialog width) / 2, top likewise,
// rounded towards zero, size unchanged. Nothing for a null dialog.
void CenterBrowseDialog(QWidget* dialog);

// What the window says when the conversion into `output` failed: the file's name and
// the reason, without the folder ("Track2.mp3 could not be made: No space left on
// device."). `engineMessage` is the engine's text, which names the output's full path
// before the reason; a text that does not is given as it is.
QString ConversionFailureText(const QString& output, const std::string& engineMessage);

// Makes the output folder with all its parents and checks that files can be made in
// it. Empty when it can be used; otherwise the system's reason ("Permission denied",
// "Not a directory", "Read-only file system", ...).
QString PrepareOutputFolder(const QString& folder);

// What a dialog says for a failure of the drive layer: the plain reason and what to
// do, from its full text ("Op() failed, exception 4, status 2, text \"...\""), which
// stays in the log. `duringRun`: the failure ended a run (a missing disc was removed).
// A text of another form is given as it is.
QString PlainDriveText(const QString& raw, bool duringRun);
// The same for the media libraries' loader ("Load library PATH error: REASON").
QString PlainLibraryText(const QString& raw);

// Work files of the window's runs. A run holds a shared lock on its output folder
// (LockRunFolder, released by closing the descriptor); RemoveRunLeftovers takes the
// folder's exclusive lock for a moment, so it only touches a folder that no run of
// the program uses now. It removes what a run killed outright left there, and only
// names that the program gives its own work files:
//   - hidden temporary outputs ".TrackN.EXT.XXXXXX" in the folder;
//   - the private work folders "Temp/.tonvale-XXXXXX" with everything in them;
//   - a "Temp" folder that a run made (it holds RunTempMarker): its TrackN.wav and
//     ".TrackN.wav.XXXXXX" files, the marker, and the folder when nothing else is
//     left in it. A Temp folder without the marker is the user's own.
// Returns the number of entries removed. A missing folder does nothing.
inline constexpr const char* RunTempMarker = ".tonvale-temp";
int LockRunFolder(const QString& folder); // the descriptor, or -1
int RemoveRunLeftovers(const QString& folder);

// A field of /proc/self/mountinfo as bytes: blanks, tabs, new lines and backslashes are
// written there as \ooo.
QByteArray UnescapeMountField(const QByteArray& field);

namespace helpers_detail {
// The path DeleteFolderTree walks: trimmed, trailing "/" removed (except for
// "/" itself), as file-system bytes; nothing for an empty or blank name.
std::optional<QByteArray> FolderTreeRoot(const QString& folder);
} // namespace helpers_detail
