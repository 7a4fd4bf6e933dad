// A piece of UTF-8 text that borrows when nothing had to change and owns a
// copy otherwise; callers never see the difference.
#pragma once

#include <optional>
#include <string>

#include "base.h"

namespace ls {

class TextValue {
 public:
  TextValue() = default;
  static TextValue view(Bytes b) {
    TextValue v;
    v.view_ = b;
    return v;
  }
  static TextValue owned(std::string s) {
    TextValue v;
    v.owned_ = std::move(s);
    v.is_owned_ = true;
    return v;
  }
  // Valid until this value is moved from or destroyed.
  Bytes bytes() const { return is_owned_ ? Bytes(owned_) : view_; }
  bool is_owned() const { return is_owned_; }
  std::string to_string() && { return is_owned_ ? std::move(owned_) : std::string(view_); }
  // The owned string, for a step that edits it in place. Owned values only.
  std::string& owned_string() {
    LS_CHECK(is_owned_);
    return owned_;
  }

  // Runs one normalisation step: `step(bytes)` returns the changed text, or
  // nothing when the text is unchanged (then this value is kept as it is).
  template <class Step>
  TextValue then(Step&& step) && {
    std::optional<std::string> changed = step(bytes());
    if (!changed) return std::move(*this);
    return owned(std::move(*changed));
  }

 private:
  std::string owned_;
  Bytes view_;
  bool is_owned_ = false;
};

}  // namespace ls
