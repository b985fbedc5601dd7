#pragma once
// Every YAML or JSON file the program reads goes through here. The vision library's own parser
// loops for ever on some malformed YAML and throws foreign exceptions on other input, so it never
// sees a user's text: libyaml (JSON: Qt) parses the file within a size and nesting bound, the
// tree is written again by the library's own writer, and the library then parses only text of
// the form it writes itself.

#include <QByteArray>
#include <QString>

#include <opencv2/core.hpp>

#include <string>

namespace vantiro {

// Larger than any corner, intrinsics or project file we write (a corner list at its bound is
// about 1 MB); anything bigger is refused before it is parsed.
inline constexpr qint64 kMaxStorageFileBytes = 16 * 1024 * 1024;
// Our files nest three levels deep (map, matrix, data).
inline constexpr int kMaxStorageDepth = 32;

enum class StorageStatus
{
    Opened,
    Missing,    // no such file
    Unreadable, // a folder, no permission, a read error
    TooLarge,   // over kMaxStorageFileBytes
    Malformed,  // not YAML or JSON we can read; error says where and why
};

struct StorageOpenResult
{
    StorageStatus status = StorageStatus::Missing;
    QString error; // one line, empty when opened
    bool ok() const { return status == StorageStatus::Opened; }
};

// Opens fs for reading on the checked content of path (YAML, or JSON when the text starts with
// "{"). Never throws; fs is left closed unless the result is ok.
StorageOpenResult openStorageFile(const QString& path, cv::FileStorage& fs);
// The same on text already in memory.
StorageOpenResult openStorageText(const QByteArray& text, cv::FileStorage& fs);

// Reads a matrix node (the library's "opencv-matrix": rows, cols, dt, data) once its declared
// shape has been checked against the data it holds: the library's reader allocates rows x cols
// before it looks at the data. False with a reason otherwise; an absent node is an error too.
bool readStorageMatrix(const cv::FileNode& node, cv::Mat& out, QString* error = nullptr);

// Writes value as a string that reads back unchanged whatever it holds: the library's writer
// takes a leading "[", "{" or "]" for structure and passes text wrapped in quotes on verbatim.
// key is empty inside a sequence.
void writeStorageString(cv::FileStorage& fs, const std::string& key, const std::string& value);

} // namespace vantiro
