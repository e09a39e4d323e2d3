// Documents as JSON text. Small documents are built as a tree and printed whole; the snapshot,
// which can hold hundreds of thousands of records, is written piece by piece as it is made. Both
// give the same bytes for the same values.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "document/context.h"

namespace ravu {

/// Where a command's document text goes, one piece after another.
using Output = std::function<void(std::string_view)>;

/// The compact text of a document: members in key order, UTF-8 kept, bytes that are not UTF-8
/// replaced by U+FFFD, forward slashes escaped. "{}" when the document cannot be written.
std::string serializeDocument(const Json& document);

/// Appends `text` as a JSON string exactly as `serializeDocument` writes it.
void appendString(std::string& out, std::string_view text);

/// Document text gathered into pieces of a useful size before it goes out.
class TextWriter {
  public:
    explicit TextWriter(const Output& output) : output_(output) {}
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    ~TextWriter() { flush(); }

    TextWriter& operator<<(std::string_view text) {
        buffer_ += text;
        return *this;
    }
    TextWriter& string(std::string_view text) {
        appendString(buffer_, text);
        return *this;
    }
    /// Hands the text on once enough has gathered.
    void pass() {
        if (buffer_.size() >= 1 << 16) {
            flush();
        }
    }
    void flush() {
        if (!buffer_.empty()) {
            output_(buffer_);
            buffer_.clear();
        }
    }

  private:
    const Output& output_;
    std::string buffer_;
};

}  // namespace ravu
