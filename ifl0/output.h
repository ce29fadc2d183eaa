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
    // (fd >= 0; written from its current position and left open). A
    // symbolic link is followed to the file it names. Fails, before anything
    // is written, for a folder (EISDIR) or a file the process may not write.
    // On failure returns false with errno set and err the reason.
    bool open(int fd, const std::string& name, std::string& err);
    // Where the encoder writes; valid between open and commit or discard.
    FILE* stream() const { return out_; }
    // Flushes what was written and makes it the file at the name. On
    // failure returns false with errno set and err the reason; the name
    // keeps what it had, except for a file rewritten in place.
    bool commit(std::string& err);
    // Drops what was written; the name keeps what it had.
    void discard();

private:
    // How the finished bytes reach the destination.
    enum class Way {
        Direct,   // stream() is the destination itself
        Rename,   // a temporary beside the target is renamed over it
        InPlace,  // a temporary beside the target is copied into dest_
        Copy,     // an anonymous temporary is copied into dest_ (a pipe)
    };
    bool openNamed(const std::string& name);
    bool useDescriptor(int fd);
    bool copyOut(std::string& err);

    Way way_ = Way::Direct;
    std::string target_;   // the file the picture goes to, links followed
    std::string tmpPath_;  // the temporary beside the target
    FILE* out_ = nullptr;
    int dest_ = -1;        // where Copy and InPlace copy the finished bytes
};

}  // namespace ifl0

#endif
