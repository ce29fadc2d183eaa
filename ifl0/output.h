// Where a created file's bytes go, and how they come to stand at its name.
// The core encodes into stream() and calls commit() once the picture is
// complete; until then the name keeps whatever it had.
#ifndef IFL0_OUTPUT_H
#define IFL0_OUTPUT_H

#include <cstdio>
#include <string>

namespace ifl0 {

class Output {
public:
    Output() = default;
    ~Output() { discard(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Prepares to write a new file at name, or to the caller's descriptor fd
    // (fd >= 0; written from its current position and left open). On
    // failure returns false with errno set and err the reason.
    bool open(int fd, const std::string& name, std::string& err);
    // Where the encoder writes; valid between open and commit or discard.
    FILE* stream() const { return out_; }
    // Flushes what was written and makes it the file at the name. On
    // failure returns false with errno set and err the reason; the name
    // keeps what it had.
    bool commit(std::string& err);
    // Drops what was written; the name keeps what it had.
    void discard();

private:
    std::string name_;
    std::string tmpPath_;  // the temporary file that becomes the name
    FILE* out_ = nullptr;
};

}  // namespace ifl0

#endif
