#pragma once
// A part of a file read in place: mapped into memory read-only, so that the file's bytes are
// read where the system keeps them instead of being copied a piece at a time.
//
// A mapped file that another program cuts short meanwhile (or a page the disk cannot give) would
// end the program with SIGBUS at the first byte read of the missing page. A view therefore puts a
// page of zero bytes in place of a page that is gone and notes it (Lost): the reader goes on over
// zeros and, seeing Lost, drops what it read and reads the file again the usual way. A SIGBUS at
// any address outside a view keeps the action it had. Plain C++, Linux.

#include <cstddef>
#include <cstdint>

class FileView {
public:
    // Maps the bytes [offset, offset + length) of `fd`; Data() is null when they could not be
    // mapped (the caller reads them instead).
    FileView(int fd, std::uint64_t offset, std::size_t length);
    ~FileView();
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    // The byte at `offset`; null when nothing is mapped.
    const char* Data() const { return data_; }
    std::size_t Size() const { return length_; }
    // Whether a page of the view was missing when read: its bytes read as zeros.
    bool Lost() const;

private:
    void* mapping_ = nullptr;
    std::size_t mappingBytes_ = 0;
    const char* data_ = nullptr;
    std::size_t length_ = 0; // 0 when nothing is mapped
    int watch_ = -1;         // this view's place among the views the SIGBUS handler knows
};
