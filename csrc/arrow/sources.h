// Readers of a table body for the table walker: one over MessagePack bytes,
// one over rows already decoded into Python lists (bodies sent as JSON).
//
// Both present the body the same way: its row count, then each row's length
// and values as MessagePack items.  A value that the walker does not use is
// skipped without being looked at.
#pragma once

#include <string>

#include "ref.h"
#include "types.h"

namespace vantrel::arrow {

class MsgpackSource {
public:
    MsgpackSource(const char* data, std::size_t size) noexcept : reader_(data, size) {}

    // The body: an array of rows; a first body starts with its header row,
    // which `header` receives (nullptr: skip it).
    bool open(bool first, std::vector<std::string>* header, std::int64_t& rows, Failure& failure);
    bool row(std::int64_t rowno, std::uint32_t& len, Failure& failure);
    bool value(msgpack::Item& item, Failure& failure) {
        return reader_.next(item) || malformed(failure);
    }
    bool skip(Failure& failure) { return reader_.skip(kMaxDepth) || malformed(failure); }
    bool close(Failure& failure);

private:
    static constexpr int kMaxDepth = 64;
    bool malformed(Failure& failure);
    msgpack::Reader reader_;
};

// Rows of a body decoded into Python objects (a list of lists).  Used with
// the interpreter lock held; every row is held by a reference of its own
// while its values are read.
class PythonSource {
public:
    explicit PythonSource(Borrowed body) noexcept : body_(body) {}

    bool open(bool first, std::vector<std::string>* header, std::int64_t& rows, Failure& failure);
    bool row(std::int64_t rowno, std::uint32_t& len, Failure& failure);
    bool value(msgpack::Item& item, Failure& failure);
    bool skip(Failure&) {
        ++pos_;
        return true;
    }
    bool close(Failure&) { return true; }

private:
    Borrowed body_;
    Ref rows_;  // tuple of the body's elements
    Ref row_;   // tuple of the current row's values
    Py_ssize_t next_row_ = 0;
    Py_ssize_t pos_ = 0;
};

}  // namespace vantrel::arrow
