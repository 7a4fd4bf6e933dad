// A piece of UTF-8 text that borrows when nothing had to change and owns a
// copy otherwise; callers never see the difference.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base.h"

namespace ls {

// Eight bytes of ownership beside the view: a moved value moves a pointer,
// and the owned text stays where it is, so the view stays valid. (A value
// carrying a std::string of its own was 56 bytes, and moving one copied the
// string's inline buffer even when it held nothing.)
class TextValue {
 public:
  TextValue() = default;
  TextValue(TextValue&&) noexcept = default;
  TextValue& operator=(TextValue&&) noexcept = default;
  TextValue(const TextValue& o) : view_(o.view_) {
    if (o.owned_) {
      owned_ = std::make_unique<std::string>(*o.owned_);
      view_ = *owned_;
    }
  }
  TextValue& operator=(const TextValue& o) {
    if (this != &o) *this = TextValue(o);
    return *this;
  }

  static TextValue view(Bytes b) {
    TextValue v;
    v.view_ = b;
    return v;
  }
  static TextValue owned(std::string s) {
    TextValue v;
    v.owned_ = std::make_unique<std::string>(std::move(s));
    v.view_ = *v.owned_;
    return v;
  }
  // Valid until this value is destroyed or assigned to (moving it keeps the
  // text where it is).
  Bytes bytes() const { return view_; }
  bool is_owned() const { return owned_ != nullptr; }
  std::string to_string() && { return owned_ ? std::move(*owned_) : std::string(view_); }

  // Runs one normalisation step: `step(bytes)` returns the changed text, or
  // nothing when the text is unchanged (then this value is kept as it is).
  template <class Step>
  TextValue then(Step&& step) && {
    std::optional<std::string> changed = step(bytes());
    if (!changed) return std::move(*this);
    return owned(std::move(*changed));
  }

 private:
  Bytes view_;                          // the text: into the document, or into *owned_
  std::unique_ptr<std::string> owned_;  // set when decoding changed the text
};

}  // namespace ls
