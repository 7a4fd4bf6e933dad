// The whole extraction under fuzzing: a schema (flat queries, groups,
// first-only flags, a charset label) and a document from the fuzzer's bytes.
//
// Beyond "no crash, no internal fault", every run must agree with itself
// taken apart:
//   - every value is valid UTF-8 and every row has one column per sub-field;
//   - the free extract equals the flat part of Plan::extract over the whole
//     schema (the free extract_grouped is that plan and that call);
//   - a column equals its query run alone;
//   - with first-only flags, a column in the first-only mask holds the first
//     value of the full column and every other column is the full column;
//   - a valid UTF-8 document that resolves to UTF-8 gives the same result
//     with the label "utf-8" (the path of an already-decoded str);
//   - a document in an ASCII-compatible encoding whose bytes are well formed
//     gives, scanned raw, what its UTF-8 transcoding gives.
// Plans are kept from one input to the next, keyed by their schema, the way
// callers keep a plan over many pages: a plan's pooled scan buffers then
// carry what earlier documents grew into later ones, which a fresh plan per
// input would never exercise; the free functions still compile per call.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "encoding.h"
#include "fuzz/checks.h"
#include "whatwg/decode.h"

namespace ls::fuzz {

namespace {

constexpr const char* kLabels[] = {
    nullptr,       "utf-8",  "windows-1252", "shift_jis", "euc-jp",     "iso-2022-jp", "gb18030",
    "gbk",         "big5",   "euc-kr",       "utf-16le",  "utf-16be",   "koi8-r",      "iso-8859-2",
    "replacement", "x-user-defined", "latin1", " UTF8 ", "no-such-label", "windows-1251",
};

constexpr size_t kMaxFlat = 16, kMaxGroups = 4, kMaxSubs = 8;

// A schema that touches most of the matcher, for inputs that are only a document.
const char* const kDefaultFlat[] = {
    "p::text", "div ::text", "a::attr(href)", "li:nth-child(2n+1)::text", "h1 + p::text", "b ~ i::text",
    "div p", "li:last-child::text", "div:has(a)::attr(id)", "p:contains(\"ab\")::text", "//li[last()]/text()",
    "//dt[.=\"x\"]/following-sibling::dd/text()", "normalize-space(//p)", ":is(b, i):not(.x)::text",
    "title::text", "//td/ancestor::table/@id",
};

std::vector<Bytes> split(Bytes s, char sep) {
  std::vector<Bytes> out;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i)
    if (i == s.size() || s[i] == sep) {
      out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  return out;
}

bool all_valid(const ExtractResult& r, std::string& where) {
  for (size_t q = 0; q < r.flat.size(); ++q)
    for (Bytes v : r.flat[q])
      if (!whatwg::utf8_is_valid(v)) {
        where = "flat column " + std::to_string(q);
        return false;
      }
  for (size_t g = 0; g < r.grouped.size(); ++g)
    for (const auto& row : r.grouped[g])
      for (const Column& col : row)
        for (Bytes v : col)
          if (!whatwg::utf8_is_valid(v)) {
            where = "group " + std::to_string(g);
            return false;
          }
  return true;
}

std::string fault_text(const Fault& f) {
  return f.kind == FaultKind::kOutOfMemory ? std::string("out of memory") : f.message;
}

// Every part of a schema, length-prefixed, so that two schemas share a key
// only when they are equal.
std::string schema_key(const FuzzCase& c, const std::vector<bool>& first_only) {
  std::string key;
  auto put = [&key](Bytes s) {
    const uint32_t n = static_cast<uint32_t>(s.size());
    key.append(reinterpret_cast<const char*>(&n), sizeof n).append(s);
  };
  put(std::to_string(c.flat.size()));
  for (const std::string& q : c.flat) put(q);
  put(std::to_string(c.groups.size()));
  for (const GroupQuery& g : c.groups) {
    put(g.container);
    put(std::to_string(g.fields.size()));
    for (const auto& [name, query] : g.fields) {
      put(name);
      put(query);
    }
  }
  put(std::to_string(first_only.size()));
  for (bool flag : first_only) key.push_back(flag ? '1' : '0');
  return key;
}

// Compiled plans by schema. Bounded: emptied when full, so memory stays
// flat over a long campaign.
class PlanCache {
 public:
  std::shared_ptr<const Plan> get(const FuzzCase& c, const std::vector<bool>& first_only, Fault& fault) {
    std::string key = schema_key(c, first_only);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (auto it = plans_.find(key); it != plans_.end()) return it->second;
    }
    auto plan = std::make_shared<Plan>();
    if ((fault = compile_first_only(c.flat, c.groups, first_only, *plan))) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    if (plans_.size() >= kCapacity) plans_.clear();
    plans_.emplace(std::move(key), plan);
    return plan;
  }

 private:
  static constexpr size_t kCapacity = 64;
  std::mutex mu_;
  std::unordered_map<std::string, std::shared_ptr<const Plan>> plans_;
};

PlanCache& plan_cache() {
  static PlanCache* cache = new PlanCache;  // never destroyed: no order-of-exit hazards
  return *cache;
}

}  // namespace

FuzzCase read_case(Bytes input) {
  FuzzCase c;
  const size_t sep = input.find("\xFF\xFF");
  if (sep == Bytes::npos) {
    c.flat.assign(std::begin(kDefaultFlat), std::end(kDefaultFlat));
    c.groups.push_back({"div", {{"t", "text()"}, {"all", ".//text()"}, {"a", "./a/@href"}, {"self", "."}}});
    c.groups.push_back({"li", {{"b", "b::text"}}});
    c.document = input;
    return c;
  }
  c.document = input.substr(sep + 2);
  std::vector<Bytes> records = split(input.substr(0, sep), '\xFF');
  const Bytes control = records[0];
  if (!control.empty()) {
    const size_t label = static_cast<uint8_t>(control[0]) % std::size(kLabels);
    if (kLabels[label]) c.label = kLabels[label];
  }
  for (size_t i = 1; i < control.size(); ++i)
    for (int bit = 0; bit < 8; ++bit) c.first_only.push_back((static_cast<uint8_t>(control[i]) >> bit) & 1);
  for (size_t r = 1; r < records.size(); ++r) {
    const Bytes rec = records[r];
    if (rec.empty()) continue;
    const Bytes body = rec.substr(1);
    switch (rec[0]) {
      case 'F':
        if (c.flat.size() < kMaxFlat) c.flat.emplace_back(body);
        break;
      case 'L':
        c.label = std::string(body);
        break;
      case 'G':
        if (c.groups.size() < kMaxGroups) c.groups.push_back({std::string(body), {}});
        break;
      case 'S': {
        if (c.groups.empty() || c.groups.back().fields.size() >= kMaxSubs) break;
        const size_t mid = body.find('\xFE');
        if (mid == Bytes::npos) c.groups.back().fields.emplace_back("f", std::string(body));
        else c.groups.back().fields.emplace_back(std::string(body.substr(0, mid)), std::string(body.substr(mid + 1)));
        break;
      }
      default:
        break;
    }
  }
  return c;
}

std::optional<std::string> check_extract(Bytes input) {
  const FuzzCase c = read_case(input);
  std::optional<Bytes> label;
  if (c.label) label = Bytes(*c.label);

  // One plan without flags serves every whole-schema run below; an
  // over-budget schema is refused before any scan, so only its compilation
  // is exercised.
  Fault compile_fault;
  const std::shared_ptr<const Plan> shared = plan_cache().get(c, {}, compile_fault);
  if (!shared) return "compile: " + fault_text(compile_fault);
  const Plan& plan = *shared;
  if (budget_error(plan.usage())) return std::nullopt;

  ExtractResult full;
  if (Fault f = plan.extract(c.document, label, full)) return "Plan::extract: " + fault_text(f);
  std::string where;
  if (!all_valid(full, where)) return "invalid UTF-8 in " + where;
  if (full.flat.size() != c.flat.size() || full.grouped.size() != c.groups.size()) return "result shape";
  for (size_t g = 0; g < c.groups.size(); ++g)
    for (const auto& row : full.grouped[g])
      if (row.size() != c.groups[g].fields.size()) return "row width in group " + std::to_string(g);

  // Only the flat part, through the free function.
  ExtractResult flat;
  if (Fault f = extract(c.document, c.flat, label, flat)) return "extract: " + fault_text(f);
  if (flat.flat != full.flat) return "extract differs from the flat part of the grouped run";

  // A column on its own: one per input, picked by the input's bytes (all of
  // them would make every run several times slower for little more reach).
  if (!c.flat.empty()) {
    size_t pick = input.size();
    for (char ch : input.substr(0, 64)) pick = pick * 31 + static_cast<uint8_t>(ch);
    const size_t q = pick % c.flat.size();
    ExtractResult alone;
    if (Fault f = extract(c.document, {c.flat[q]}, label, alone)) return "extract alone: " + fault_text(f);
    if (alone.flat.size() != 1 || alone.flat[0] != full.flat[q]) return "column " + std::to_string(q) + " differs from its query alone";
  }

  // First-only flags.
  if (std::find(c.first_only.begin(), c.first_only.end(), true) != c.first_only.end()) {
    const std::shared_ptr<const Plan> flagged = plan_cache().get(c, c.first_only, compile_fault);
    if (!flagged) return "compile: " + fault_text(compile_fault);
    ExtractResult first;
    if (Fault f = flagged->extract(c.document, label, first)) return "flagged Plan::extract: " + fault_text(f);
    const Mask128 mask = flagged->schema().first_only_mask;
    for (size_t q = 0; q < c.flat.size(); ++q) {
      Column expected = full.flat[q];
      if (q < 128 && mask.test(static_cast<unsigned>(q)) && expected.size() > 1) expected.resize(1);
      if (first.flat[q] != expected) return "first-only column " + std::to_string(q) + " is not the head of the full column";
    }
    if (first.grouped != full.grouped) return "first-only flags changed the groups";
  }

  // The path of an already-decoded str: UTF-8 bytes under the label "utf-8".
  const Encoding resolved = resolve(c.document, label);
  if (resolved == Encoding::kUtf8 && whatwg::utf8_is_valid(c.document)) {
    ExtractResult as_str;
    if (Fault f = plan.extract(c.document, Bytes("utf-8"), as_str)) return "as str: " + fault_text(f);
    if (as_str.flat != full.flat || as_str.grouped != full.grouped) return "str and bytes of a UTF-8 document differ";
  }

  // Raw scanning against decoding first, for well-formed text in an
  // ASCII-compatible encoding. (NUL bytes are removed before a raw scan but
  // after decoding, so a document with one is left out.)
  if (resolved != Encoding::kUtf8 && whatwg::is_ascii_compatible(resolved) &&
      c.document.find('\0') == Bytes::npos) {
    std::string text;
    whatwg::decode_append(resolved, c.document, text);
    if (text.find(whatwg::kReplacementUtf8) == std::string::npos) {
      ExtractResult decoded;
      if (Fault f = plan.extract(text, Bytes("utf-8"), decoded)) return "decoded: " + fault_text(f);
      if (decoded.flat != full.flat || decoded.grouped != full.grouped)
        return std::string("raw scan in ") + whatwg::canonical_name(resolved) + " differs from scanning its UTF-8 transcoding";
    }
  }
  return std::nullopt;
}

}  // namespace ls::fuzz
