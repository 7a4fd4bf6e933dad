// The byte tokenizer: prepared document bytes in, start-tag / end-tag / text
// events out. See tokenizer.cc for the rules.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base.h"
#include "tags.h"

namespace ls {

// One attribute as written in the document. Both views point into the
// document; nothing is copied, case is kept and references are not decoded.
struct Attr {
  Bytes name;
  Bytes value;     // empty when !has_value; quotes excluded
  bool has_value;  // false when the attribute has no `=`
};

// The receiver of token events. Offsets are byte positions in the prepared
// document: `start` is the offset of a tag's `<`, `end` the offset just past
// its `>` (or the end of input where the input ends inside the tag).
class TokenSink {
 public:
  virtual ~TokenSink() = default;
  // `tag` is tag_id(name), looked up once by the scan.
  virtual void start_tag(Bytes name, TagId tag, std::span<const Attr> attrs, bool self_closing,
                         Offset start, Offset end) = 0;
  virtual void end_tag(Bytes name, TagId tag, Offset start, Offset end) = 0;
  // `text` is never empty. Consecutive text events are possible.
  virtual void text(Bytes text, bool decode_entities, Offset start) = 0;
  // "</>" and DOCTYPE are invisible to text: a pending text run that ends
  // exactly at `lt` is to be treated as ending at `to` instead.
  virtual void extend_pending_text(Offset /*lt*/, Offset /*to*/) {}
  // Asked after each markup construct when the scan runs with early stop on;
  // true ends the scan at once (no further events, no final text).
  virtual bool should_stop() { return false; }
  // From now on every offset and view refers to `doc`, the NUL-free copy of
  // the document. It equals the old bytes before the first NUL, which no
  // event delivered so far reaches past, so everything the sink holds (views
  // and offsets alike) stays true of it.
  virtual void document_replaced(Bytes /*doc*/) {}
  // Per tag id, whether start tags of that id need their attributes: a tag
  // whose entry is 0 may be reported with none. nullptr: every tag needs
  // them. Asked once per scan; the table must outlive it.
  virtual const uint8_t* attribute_interest() const { return nullptr; }
};

// Reusable per-scan buffers: one attribute list, cleared by each tag, and the
// NUL-free copy of the document once the scan has met a NUL byte (held by
// pointer, so that the copy's bytes stay where they are when it is handed on).
struct TokenizerScratch {
  std::vector<Attr> attrs;
  std::unique_ptr<std::string> nul_free;
};

// Runs the scan loop over `doc` (at most kMaxDocumentBytes long) as if every
// NUL byte had been removed from it: nothing searches the document for NUL
// beforehand; the scan's own searches stop at NUL too, and at the first one
// the scan moves to a NUL-free copy (in `scratch.nul_free`, announced by
// document_replaced) and resumes at the start of the construct it was in.
// Returns how far it read in the final buffer: its size, or the end of the
// construct after which the sink asked to stop.
size_t tokenize(Bytes doc, TokenSink& sink, TokenizerScratch& scratch, bool early_stop);

// The instruction sets the scan loop is compiled for. Every build has the
// portable one; x86-64 has SSE2 and, when the CPU supports it, AVX2.
enum class ScanIsa : uint8_t { kPortable = 0, kSse2 = 1, kAvx2 = 2 };
// Those this build and CPU can run, the one tokenize uses last.
std::span<const ScanIsa> available_isas();
ScanIsa default_isa();
// tokenize with a given variant (one of available_isas()), for the tests.
size_t tokenize_with(ScanIsa isa, Bytes doc, TokenSink& sink, TokenizerScratch& scratch, bool early_stop);

// `doc` without its NUL bytes, written to `out`; `first_nul` is the position
// of the first one (the bytes before it are copied as they are).
void copy_without_nul(Bytes doc, size_t first_nul, std::string& out);

// Helpers, shared with the <meta> prescan and the tests.
// `lt` is the offset of "<!--"; returns the position just after the comment.
// Blind to NUL bytes (the prescan reads the caller's bytes as they are).
size_t scan_comment(Bytes doc, size_t lt);

// The shared byte-class table.
inline constexpr uint8_t kClassSpace = 1;     // 09 0A 0C 0D 20 (not 0B)
inline constexpr uint8_t kClassAttrEnd = 2;   // ends an attribute name: space = / >
inline constexpr uint8_t kClassTagEnd = 4;    // ends a tag name: space / >
inline constexpr uint8_t kClassValueEnd = 8;  // ends an unquoted value: space >
inline constexpr uint8_t kClassNul = 16;      // 00, where every scan stops
extern const uint8_t kByteClass[256];

}  // namespace ls
