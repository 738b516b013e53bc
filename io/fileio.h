// SPDX-License-Identifier: MIT
// Whole-file writes, whole-stream reads and whole-line logs for every program: the system's calls, each result
// checked. POSIX systems only. "-" names standard input (reading) or standard output (writing).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What a path that exists is, when it is not a regular file: "a folder", "a FIFO", "a device node", "a socket";
// "" for a regular file, a link to one, or nothing at all.
std::string PathKind(const std::string &path);

// Replaces the file at `path` by `bytes` as a whole: a temporary file beside it takes every byte, is flushed to
// the disk, and only then takes the file's place (a link is followed, and the file keeps its permissions).
// A path that exists and is not a regular file, or a read-only file, is refused; so is a link that another user
// made in a folder where anyone may create files (/tmp), unless that user owns the folder. On any failure
// nothing is replaced, the temporary is gone, and *why holds one sentence naming the reason (and the folder,
// when the folder refuses). "-" writes to standard output instead.
bool ReplaceFile(const std::string &path, std::string_view bytes, std::string *why);

// "it is a link that another user ... made in /tmp ..." when ReplaceFile and LineLog::Open would refuse `path`
// for such a link on its way; "" otherwise. For a refusal before any work is done; the writers ask again.
std::string RefusedLink(const std::string &path);

// For tests of a disk that fails only when asked to flush: the call ReplaceFile flushes the new file with
// (fsync; null restores it). Not to be changed while another thread writes a file.
void SetFlushToDisk(int (*flush)(int fd));

// Reads a file, or a stream to its end, before anything judges it; at most maxBytes. A FIFO or device named by
// its path must start within `waitSeconds` and never pause longer (a FIFO nobody writes to is not waited for
// forever); "-" (standard input) is read as long as its writer takes. On failure *why holds one sentence.
bool ReadWhole(const std::string &path, std::size_t maxBytes, double waitSeconds, std::string *bytes, std::string *why);

// Appends whole lines to a file or to a descriptor someone else owns. Lines are collected and handed to the
// system at least every maxAge seconds, so a crash (even SIGKILL) leaves only complete lines behind. When the
// system refuses a write, the file is cut back to its last whole line, so a later append starts on a clean one.
class LineLog {
public:
    LineLog() = default;
    ~LineLog(); // flushes and closes
    LineLog(const LineLog &) = delete;
    LineLog &operator=(const LineLog &) = delete;

    // Appends to `path` (created when missing); a path that exists and is not a regular file, or another
    // user's link in a shared folder (see ReplaceFile), is refused.
    // *isNew tells whether the file was empty, so the caller knows to write a header. A file whose last line
    // was left unfinished by someone else gets a line feed first. Returns false with *why set.
    bool Open(const std::string &path, bool *isNew, std::string *why);
    // Writes to an open descriptor owned by someone else (standard output).
    void Attach(int fd);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string &Path() const { return path_; }
    void SetMaxAge(double seconds) { maxAge_ = seconds; }

    // Collects text that ends in a line feed; writes out what is collected when the oldest of it is maxAge old
    // or the collection is large.
    void Append(const std::string &text);
    void FlushIfDue();
    // Returns false once the system has refused text; Error() then says why, ErrorCode() holds errno.
    bool Flush();
    const std::string &Error() const { return error_; }
    int ErrorCode() const { return errorCode_; }
    void Close();

private:
    void Fail(int code);

    int fd_ = -1;
    bool owned_ = false;
    bool regular_ = false; // a regular file: can be cut back
    bool append_ = false;  // opened for appending: the system writes at the end, wherever the offset is
    int64_t whole_ = 0;    // size of the file up to its last whole line
    double maxAge_ = 0.5;
    std::string path_;
    std::string buffer_;
    double oldest_ = 0;
    std::string error_;
    int errorCode_ = 0;
};
