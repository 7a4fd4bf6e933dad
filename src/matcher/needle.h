// A literal searched for in linear time: Knuth-Morris-Pratt over a border
// table built once, when the schema is compiled (or once per column step).
//
// Text tests read literals the query author wrote, which may be as long as
// the text they are tested on; a naive search costs the product of the two
// lengths. With the table, a search, or a stream fed a byte at a time, costs
// one amortised step per byte of text, whatever the literal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ls {

class Needle {
 public:
  Needle() = default;
  explicit Needle(std::string_view text) : text_(text), border_(text.size() + 1, 0) {
    // border_[i]: the length of the longest proper border of text_[0, i).
    uint32_t k = 0;
    for (size_t i = 1; i < text_.size(); ++i) {
      while (k > 0 && text_[i] != text_[k]) k = border_[k];
      if (text_[i] == text_[k]) ++k;
      border_[i + 1] = k;
    }
  }

  std::string_view text() const { return text_; }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }

  // The first occurrence in `hay`, or npos; an empty needle is found at 0.
  size_t find(std::string_view hay) const {
    if (text_.empty()) return 0;
    if (hay.size() < text_.size()) return std::string_view::npos;
    uint32_t k = 0;
    for (size_t i = 0; i < hay.size(); ++i)
      if (advance(k, hay[i])) return i + 1 - text_.size();
    return std::string_view::npos;
  }

  // Feeds one byte to a stream whose state `k` is the length of the longest
  // prefix of the needle that ends the bytes fed so far (0 at the start).
  // True when the byte completes an occurrence; `k` then goes on from the
  // occurrence's longest border, so overlapping occurrences are all seen.
  // The needle must not be empty.
  bool advance(uint32_t& k, char c) const {
    while (k > 0 && c != text_[k]) k = border_[k];
    if (c == text_[k]) ++k;
    if (k < text_.size()) return false;
    k = border_[k];
    return true;
  }

 private:
  std::string text_;
  std::vector<uint32_t> border_;
};

}  // namespace ls
