// The server's own files, in a folder of its own in the temporary folder,
// for a CSV upload as it arrives and for an export before it is sent.
#pragma once

#include <string>
#include <string_view>

class TemporaryFile {
public:
    // Made without following a link (mkostemp: O_EXCL, mode 0600 whatever
    // the umask) in the server's folder (mode 0700, named after the
    // server's process id and locked while it runs, so that a later server
    // can tell a folder left by one that was killed). Throws
    // std::runtime_error when no file can be made.
    TemporaryFile();
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return m_path; }

    // Appends the whole of bytes; false once a write failed (a full disk),
    // after which the file is never whole again: what it holds must not be
    // taken for the upload.
    bool Write(std::string_view bytes);
    // Why a write failed; empty while none did.
    const std::string& failure() const { return m_failure; }

private:
    int m_fd = -1;
    std::string m_path;
    std::string m_failure;
};

// Throws std::runtime_error, saying why, when another account could move
// what the server keeps in the temporary folder ($TMPDIR, or /tmp).
void RequireTemporaryFolderOfOurOwn();

// Removes the folders (and the files of older servers) of the servers of
// this account that were killed before they could; returns how many.
int RemoveStaleTemporaryFiles();
