#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace norvane {

// Gathers bytes that arrive in pieces of any size into writes that end on a grid of the file
// (every multiple of `step` from its start). Pieces from the network start anywhere in a page:
// written as they come, each would cost a system call, and the kernel would clear the open part
// of every new page only to fill it with the next piece.
class WriteGatherer {
public:
    // Writes bytes at the file's written end and moves that end past them; false when it failed.
    using Write = std::function<bool(std::span<const std::uint8_t>)>;

    explicit WriteGatherer(std::size_t step);

    // Takes `bytes`, which follow the gathered ones; `writtenEnd` is the offset in the file where
    // the gathered bytes start. Every run that reaches a line of the grid goes to `write`, whole
    // runs of the grid straight from `bytes`. False when a write failed; what it was to write is
    // then dropped.
    bool add(std::uint64_t writtenEnd, std::span<const std::uint8_t> bytes, const Write& write);
    // Writes what is gathered, whether it reaches the grid or not.
    bool flush(const Write& write);

    // Bytes gathered and not written yet.
    std::size_t size() const { return pending_.size(); }
    // Keeps only the first `count` gathered bytes.
    void keep(std::size_t count);

private:
    std::size_t step_;
    std::vector<std::uint8_t> pending_;
};

} // namespace norvane
