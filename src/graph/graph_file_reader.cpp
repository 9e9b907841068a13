#include "graph/graph_file_reader.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "support/text_escape.hpp"
#include "values/debug_format.hpp"

// The document is read through nlohmann's SAX interface rather than its DOM: the DOM keeps the
// last of two equal keys and cannot say where a value stood. The SAX parser is iterative, and the
// records built here nest only as deep as the schema, so skipping an arbitrarily deep unknown
// value costs a counter, never stack.

namespace arvex {
namespace {

// ---- Where the parser stands ---------------------------------------------------------------

// How far the parser has read. The parser keeps its own copies of the iterators, so they report
// through this one shared cursor.
struct ReadCursor {
  std::size_t consumed = 0;  // bytes handed to the parser
  bool reached_end = false;  // the parser asked for a byte past the last one
};

// Hands the document to the parser byte by byte and counts what it takes. The parser compares
// its position with the end only when it wants another byte, so an equal comparison means it
// ran into the end of the document.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, ReadCursor* cursor) : at_(at), cursor_(cursor) {}

  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    ++cursor_->consumed;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const CountingIterator& a, const CountingIterator& b) {
    if (a.at_ != b.at_) return false;
    a.cursor_->reached_end = true;
    return true;
  }

 private:
  const char* at_;
  ReadCursor* cursor_;
};

// " at line L column C" for a reader that has taken the first `end` bytes of `text`.
std::string position_suffix(std::string_view text, std::size_t end) {
  const std::string_view read = text.substr(0, end);
  const auto line = 1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
  const std::size_t last_newline = read.rfind('\n');
  const std::size_t column = last_newline == std::string_view::npos ? end : end - last_newline - 1;
  return fmt::format(" at line {} column {}", line, column);
}

// ---- Values and their descriptions ---------------------------------------------------------

// One scalar event; a string comes by pointer so that the reader can take its text.
using JsonScalar =
    std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string*>;

enum class Container { map, sequence };

bool is_null(const JsonScalar& v) {
  return std::holds_alternative<std::nullptr_t>(v);
}

std::string describe(const JsonScalar& v) {
  std::string out;
  if (std::holds_alternative<std::nullptr_t>(v)) {
    out = "null";
  } else if (const bool* b = std::get_if<bool>(&v)) {
    out = fmt::format("boolean `{}`", *b);
  } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
    out = fmt::format("integer `{}`", *i);
  } else if (const auto* u = std::get_if<std::uint64_t>(&v)) {
    out = fmt::format("integer `{}`", *u);
  } else if (const double* d = std::get_if<double>(&v)) {
    out = "floating point `";
    detail::append_float_debug(out, *d, false);
    out.push_back('`');
  } else {
    out = "string ";
    detail::append_quoted(out, *std::get<std::string*>(v));
  }
  return out;
}

std::string_view describe(Container c) {
  return c == Container::map ? "map" : "sequence";
}

std::string invalid_type(std::string_view found, std::string_view expected) {
  return fmt::format("invalid type: {}, expected {}", found, expected);
}

constexpr std::string_view kNoFactorVariant =
    "data did not match any variant of untagged enum Factor";

// ---- The SAX handler -----------------------------------------------------------------------

class GraphFileSax;

// The container being read: a record under construction or a list of them. Every container the
// reader does not skip has exactly one frame, pushed when it opens and popped when it closes.
class Frame {
 public:
  virtual ~Frame() = default;
  // Only records see keys; the parser sends none inside a list.
  virtual bool key(const std::string& /*key*/, GraphFileSax& /*sax*/) { return true; }
  virtual bool scalar(JsonScalar& value, GraphFileSax& sax) = 0;
  virtual bool open(Container c, GraphFileSax& sax) = 0;
  virtual bool close(GraphFileSax& sax) = 0;
};

// Receives the parser's events and routes each value to the frame of its container. Every
// event handler returns false after the first fault, which stops the parser.
class GraphFileSax final : public nlohmann::json_sax<nlohmann::json> {
 public:
  GraphFileSax(std::string_view text, const ReadCursor& cursor) : text_(text), cursor_(cursor) {}

  bool null() override {
    at_token_end();
    JsonScalar v{nullptr};
    return value(v);
  }
  bool boolean(bool b) override {
    at_token_end();
    JsonScalar v{b};
    return value(v);
  }
  bool number_integer(number_integer_t n) override {
    at_number_end();
    JsonScalar v{std::int64_t{n}};
    return value(v);
  }
  bool number_unsigned(number_unsigned_t n) override {
    at_number_end();
    JsonScalar v{std::uint64_t{n}};
    return value(v);
  }
  bool number_float(number_float_t d, const string_t& /*text*/) override {
    at_number_end();
    JsonScalar v{double{d}};
    return value(v);
  }
  bool string(string_t& s) override {
    at_token_end();
    JsonScalar v{&s};
    return value(v);
  }
  // Only the binary formats produce this; JSON text never does.
  bool binary(binary_t& /*bytes*/) override { return fail("unexpected binary value"); }
  bool start_object(std::size_t /*elements*/) override {
    at_token_end();
    return open(Container::map);
  }
  bool key(string_t& k) override {
    at_token_end();
    return skipping_ || frames_.back()->key(k, *this);
  }
  bool end_object() override {
    at_token_end();
    return close();
  }
  bool start_array(std::size_t /*elements*/) override {
    at_token_end();
    return open(Container::sequence);
  }
  bool end_array() override {
    at_token_end();
    return close();
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& ex) override;

  // Records `message` at the current token unless a fault is already recorded; returns false
  // so that callers can `return sax.fail(...)`.
  bool fail(std::string_view message) {
    if (!error_) error_ = fmt::format("{}{}", message, position_suffix(text_, token_end_));
    return false;
  }
  void push(std::unique_ptr<Frame> frame) { frames_.push_back(std::move(frame)); }
  // The next value, however nested, belongs to an unknown key.
  void skip_next_value() {
    skipping_ = true;
    skip_depth_ = 0;
  }

  std::optional<std::string>& error() { return error_; }
  GraphFile& file() { return file_; }

 private:
  // The byte just taken ends the current token.
  void at_token_end() { token_end_ = cursor_.consumed; }
  // The parser reads one byte past a number before reporting it, unless the document ended.
  void at_number_end() {
    token_end_ = cursor_.reached_end ? cursor_.consumed : cursor_.consumed - 1;
  }

  bool value(JsonScalar& v);
  bool open(Container c);
  bool close();

  std::string_view text_;
  const ReadCursor& cursor_;
  std::size_t token_end_ = 0;
  GraphFile file_;
  std::vector<std::unique_ptr<Frame>> frames_;
  bool skipping_ = false;
  std::size_t skip_depth_ = 0;  // containers open inside the skipped value
  bool document_done_ = false;  // the top-level object has closed
  std::optional<std::string> error_;
};

// ---- Reading one value into a typed slot ---------------------------------------------------

// ValueReader<T> fills a T from one JSON value: `scalar` for a scalar event, `open` for the start
// of a container (pushing the frame that reads it). The primary template is for records.
template <class R>
struct Schema;

template <class R>
class RecordFrame;

template <class T>
class ListFrame;

template <class R>
struct ValueReader {
  static std::string expected() { return fmt::format("struct {}", Schema<R>::name); }
  static bool scalar(R& /*out*/, JsonScalar& v, GraphFileSax& sax) {
    return sax.fail(invalid_type(describe(v), expected()));
  }
  static bool open(R& out, Container c, GraphFileSax& sax) {
    if (c != Container::map) return sax.fail(invalid_type(describe(c), expected()));
    sax.push(std::make_unique<RecordFrame<R>>(out));
    return true;
  }
};

template <>
struct ValueReader<std::string> {
  static constexpr std::string_view kExpected = "a string";
  static bool scalar(std::string& out, JsonScalar& v, GraphFileSax& sax) {
    if (auto* s = std::get_if<std::string*>(&v)) {
      out = std::move(**s);
      return true;
    }
    return sax.fail(invalid_type(describe(v), kExpected));
  }
  static bool open(std::string& /*out*/, Container c, GraphFileSax& sax) {
    return sax.fail(invalid_type(describe(c), kExpected));
  }
};

// usize: a JSON integer that is not negative (-0 reads as 0).
template <>
struct ValueReader<std::uint64_t> {
  static constexpr std::string_view kExpected = "usize";
  static bool scalar(std::uint64_t& out, JsonScalar& v, GraphFileSax& sax) {
    if (const auto* u = std::get_if<std::uint64_t>(&v)) {
      out = *u;
      return true;
    }
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
      if (*i < 0) {
        return sax.fail(fmt::format("invalid value: integer `{}`, expected {}", *i, kExpected));
      }
      out = static_cast<std::uint64_t>(*i);
      return true;
    }
    return sax.fail(invalid_type(describe(v), kExpected));
  }
  static bool open(std::uint64_t& /*out*/, Container c, GraphFileSax& sax) {
    return sax.fail(invalid_type(describe(c), kExpected));
  }
};

// A count or a variable name; every other value, null included, matches neither.
template <>
struct ValueReader<Factor> {
  static bool scalar(Factor& out, JsonScalar& v, GraphFileSax& sax) {
    if (const auto* u = std::get_if<std::uint64_t>(&v)) {
      out.value = *u;
    } else if (const auto* i = std::get_if<std::int64_t>(&v); i != nullptr && *i >= 0) {
      out.value = static_cast<std::uint64_t>(*i);
    } else if (auto* s = std::get_if<std::string*>(&v)) {
      out.value = std::move(**s);
    } else {
      return sax.fail(kNoFactorVariant);
    }
    return true;
  }
  static bool open(Factor& /*out*/, Container /*c*/, GraphFileSax& sax) {
    return sax.fail(kNoFactorVariant);
  }
};

template <class T>
struct ValueReader<std::optional<T>> {
  static bool scalar(std::optional<T>& out, JsonScalar& v, GraphFileSax& sax) {
    if (is_null(v)) {
      out.reset();
      return true;
    }
    return ValueReader<T>::scalar(out.emplace(), v, sax);
  }
  static bool open(std::optional<T>& out, Container c, GraphFileSax& sax) {
    return ValueReader<T>::open(out.emplace(), c, sax);
  }
};

template <class T>
struct ValueReader<std::vector<T>> {
  static constexpr std::string_view kExpected = "a sequence";
  static bool scalar(std::vector<T>& /*out*/, JsonScalar& v, GraphFileSax& sax) {
    return sax.fail(invalid_type(describe(v), kExpected));
  }
  static bool open(std::vector<T>& out, Container c, GraphFileSax& sax) {
    if (c != Container::sequence) return sax.fail(invalid_type(describe(c), kExpected));
    sax.push(std::make_unique<ListFrame<T>>(out));
    return true;
  }
};

// ---- Record fields -------------------------------------------------------------------------

enum class Presence {
  required,   // absent: "missing field"
  optional,   // a std::optional member; absent or null: none
  defaulted,  // absent or null: the member's initializer in the record
};

// One key of a record: what to do with its value. The handlers are plain function pointers so
// that each record's keys form one constant table.
template <class R>
struct Field {
  std::string_view key;
  Presence presence;
  bool (*scalar)(R&, JsonScalar&, GraphFileSax&);
  bool (*open)(R&, Container, GraphFileSax&);
  void (*reset)(R&);
};

template <class M>
struct MemberOf;
template <class R, class T>
struct MemberOf<T R::*> {
  using Record = R;
  using Value = T;
};

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <auto M>
constexpr auto make_field(std::string_view key, Presence presence) {
  using R = typename MemberOf<decltype(M)>::Record;
  using T = typename MemberOf<decltype(M)>::Value;
  return Field<R>{
      key,
      presence,
      [](R& r, JsonScalar& v, GraphFileSax& sax) { return ValueReader<T>::scalar(r.*M, v, sax); },
      [](R& r, Container c, GraphFileSax& sax) { return ValueReader<T>::open(r.*M, c, sax); },
      [](R& r) { r.*M = R{}.*M; },
  };
}

template <auto M>
constexpr auto required_key(std::string_view key) {
  static_assert(!kIsOptional<typename MemberOf<decltype(M)>::Value>,
                "a required key has a plain member");
  return make_field<M>(key, Presence::required);
}
template <auto M>
constexpr auto optional_key(std::string_view key) {
  static_assert(kIsOptional<typename MemberOf<decltype(M)>::Value>,
                "an optional key has a std::optional member");
  return make_field<M>(key, Presence::optional);
}
template <auto M>
constexpr auto defaulted_key(std::string_view key) {
  static_assert(!kIsOptional<typename MemberOf<decltype(M)>::Value>,
                "a defaulted key has a plain member");
  return make_field<M>(key, Presence::defaulted);
}

// ---- Frames --------------------------------------------------------------------------------

// Fills one record from the keys of a JSON object, in any order. Remembers which keys it has
// seen to reject repeats and to name the first missing required key when the object closes.
template <class R>
class RecordFrame final : public Frame {
  static constexpr const auto& kFields = Schema<R>::fields;
  static_assert(kFields.size() <= 32, "the seen-key mask holds 32 keys");

 public:
  explicit RecordFrame(R& target) : target_(target) {}

  bool key(const std::string& key, GraphFileSax& sax) override {
    const auto it = std::find_if(kFields.begin(), kFields.end(),
                                 [&](const Field<R>& f) { return f.key == key; });
    if (it == kFields.end()) {
      sax.skip_next_value();
      return true;
    }
    const std::uint32_t bit = std::uint32_t{1} << static_cast<std::size_t>(it - kFields.begin());
    if ((seen_ & bit) != 0) return sax.fail(fmt::format("duplicate field `{}`", key));
    seen_ |= bit;
    current_ = &*it;
    return true;
  }

  bool scalar(JsonScalar& v, GraphFileSax& sax) override {
    if (current_->presence == Presence::defaulted && is_null(v)) {
      current_->reset(target_);
      return true;
    }
    return current_->scalar(target_, v, sax);
  }

  bool open(Container c, GraphFileSax& sax) override { return current_->open(target_, c, sax); }

  bool close(GraphFileSax& sax) override {
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      if (kFields[i].presence == Presence::required && (seen_ & (std::uint32_t{1} << i)) == 0) {
        return sax.fail(fmt::format("missing field `{}`", kFields[i].key));
      }
    }
    return true;
  }

 private:
  R& target_;
  const Field<R>* current_ = nullptr;  // the key whose value comes next
  std::uint32_t seen_ = 0;
};

// Appends one element per value of a JSON array.
template <class T>
class ListFrame final : public Frame {
 public:
  explicit ListFrame(std::vector<T>& items) : items_(items) {}

  bool scalar(JsonScalar& v, GraphFileSax& sax) override {
    return ValueReader<T>::scalar(items_.emplace_back(), v, sax);
  }
  bool open(Container c, GraphFileSax& sax) override {
    return ValueReader<T>::open(items_.emplace_back(), c, sax);
  }
  bool close(GraphFileSax& /*sax*/) override { return true; }

 private:
  std::vector<T>& items_;
};

// ---- The records' keys, in declaration order (the first missing key is reported) ----------

template <>
struct Schema<ArgInit> {
  static constexpr std::string_view name = "ArgInit";
  static constexpr std::array fields{
      required_key<&ArgInit::type>("type"),
      required_key<&ArgInit::value>("value"),
  };
};

template <>
struct Schema<InitJson> {
  static constexpr std::string_view name = "InitJson";
  static constexpr std::array fields{
      required_key<&InitJson::name>("name"),
      defaulted_key<&InitJson::factor>("factor"),
      required_key<&InitJson::args>("args"),
      optional_key<&InitJson::function>("function"),
  };
};

template <>
struct Schema<PredJson> {
  static constexpr std::string_view name = "PredJson";
  static constexpr std::array fields{
      required_key<&PredJson::name>("name"),
      required_key<&PredJson::indexes>("indexes"),
      optional_key<&PredJson::group_by>("group_by"),
  };
};

template <>
struct Schema<ConditionJson> {
  static constexpr std::string_view name = "ConditionJson";
  static constexpr std::array fields{
      required_key<&ConditionJson::operation>("operation"),
      required_key<&ConditionJson::value>("value"),
      required_key<&ConditionJson::value_type>("value_type"),
  };
};

template <>
struct Schema<ArgJson> {
  static constexpr std::string_view name = "ArgJson";
  static constexpr std::array fields{
      required_key<&ArgJson::type>("type"),
      optional_key<&ArgJson::value>("value"),
      optional_key<&ArgJson::condition>("condition"),
      optional_key<&ArgJson::predecessor>("predecessor"),
  };
};

template <>
struct Schema<LoopJson> {
  static constexpr std::string_view name = "LoopJson";
  static constexpr std::array fields{
      required_key<&LoopJson::name>("name"),
      defaulted_key<&LoopJson::factor>("factor"),
  };
};

template <>
struct Schema<NodeConditionJson> {
  static constexpr std::string_view name = "NodeConditionJson";
  static constexpr std::array fields{
      required_key<&NodeConditionJson::operation>("operation"),
      required_key<&NodeConditionJson::value>("value"),
      required_key<&NodeConditionJson::value_type>("value_type"),
      required_key<&NodeConditionJson::function>("function"),
      required_key<&NodeConditionJson::args>("args"),
  };
};

template <>
struct Schema<NodeJson> {
  static constexpr std::string_view name = "NodeJson";
  static constexpr std::array fields{
      required_key<&NodeJson::name>("name"),
      defaulted_key<&NodeJson::factor>("factor"),
      required_key<&NodeJson::function>("function"),
      optional_key<&NodeJson::loop>("loop"),
      optional_key<&NodeJson::loop_args>("loop_args"),
      required_key<&NodeJson::args>("args"),
      optional_key<&NodeJson::condition>("condition"),
      optional_key<&NodeJson::priority>("priority"),
      optional_key<&NodeJson::group_size>("group_size"),
      optional_key<&NodeJson::use_workers>("use_workers"),
  };
};

template <>
struct Schema<IndexFunctionJson> {
  static constexpr std::string_view name = "IndexFunctionJson";
  static constexpr std::array fields{
      required_key<&IndexFunctionJson::function>("function"),
      required_key<&IndexFunctionJson::args>("args"),
  };
};

template <>
struct Schema<NetworkConfigJson> {
  static constexpr std::string_view name = "NetworkConfigJson";
  static constexpr std::array fields{
      required_key<&NetworkConfigJson::socket_type>("socket_type"),
      required_key<&NetworkConfigJson::num_sockets>("num_sockets"),
      required_key<&NetworkConfigJson::packet_length>("packet_length"),
      required_key<&NetworkConfigJson::frame_packets>("frame_packets"),
      defaulted_key<&NetworkConfigJson::buffer_depth>("buffer_depth"),
      required_key<&NetworkConfigJson::address>("address"),
      required_key<&NetworkConfigJson::start_port>("start_port"),
      required_key<&NetworkConfigJson::extract_packet_func>("extract_packet_func"),
      required_key<&NetworkConfigJson::id_function>("id_function"),
      required_key<&NetworkConfigJson::index_function>("index_function"),
  };
};

template <>
struct Schema<GraphFile> {
  static constexpr std::string_view name = "GraphFile";
  static constexpr std::array fields{
      defaulted_key<&GraphFile::initializations>("initializations"),
      required_key<&GraphFile::nodes>("nodes"),
      optional_key<&GraphFile::post_nodes>("post_nodes"),
      optional_key<&GraphFile::network_config>("network_config"),
  };
};

// ---- Event routing -------------------------------------------------------------------------

bool GraphFileSax::value(JsonScalar& v) {
  if (skipping_) {
    if (skip_depth_ == 0) skipping_ = false;
    return true;
  }
  if (frames_.empty()) return ValueReader<GraphFile>::scalar(file_, v, *this);
  return frames_.back()->scalar(v, *this);
}

bool GraphFileSax::open(Container c) {
  if (skipping_) {
    ++skip_depth_;
    return true;
  }
  if (frames_.empty()) return ValueReader<GraphFile>::open(file_, c, *this);
  return frames_.back()->open(c, *this);
}

bool GraphFileSax::close() {
  if (skipping_) {
    if (--skip_depth_ == 0) skipping_ = false;
    return true;
  }
  const bool ok = frames_.back()->close(*this);
  frames_.pop_back();
  document_done_ = frames_.empty();
  return ok;
}

// ---- Syntax faults -------------------------------------------------------------------------

// A syntax fault as the parser words it: "syntax error while parsing <context> - " followed by
// either "unexpected <token>" or a lexer message with "; last read: '<raw text>'", and then, when
// the parser had one in mind, "; expected <token>".
struct ParserComplaint {
  std::string_view lexer_message;  // empty when a whole token was unexpected
  std::string_view found;     // token name, e.g. "'}'", "end of input"; empty with a lexer message
  std::string_view expected;  // token name, empty when the parser gave none
};

ParserComplaint split_complaint(std::string_view what, std::string_view last_token) {
  ParserComplaint c;
  const std::size_t dash = what.find(" - ");
  if (dash == std::string_view::npos) return c;
  std::string_view rest = what.substr(dash + 3);
  constexpr std::string_view kLastRead = "; last read: '";
  constexpr std::string_view kUnexpected = "unexpected ";
  constexpr std::string_view kExpected = "; expected ";
  if (const std::size_t at = rest.find(kLastRead); at != std::string_view::npos) {
    c.lexer_message = rest.substr(0, at);
    // The raw text may hold anything, so it is skipped by length, not searched.
    rest.remove_prefix(std::min(rest.size(), at + kLastRead.size() + last_token.size() + 1));
  } else {
    if (rest.starts_with(kUnexpected)) rest.remove_prefix(kUnexpected.size());
    c.found = rest.substr(0, rest.find(kExpected));
    rest.remove_prefix(c.found.size());
  }
  if (rest.starts_with(kExpected)) c.expected = rest.substr(kExpected.size());
  return c;
}

// The fault inside a string or number token, or nothing when the lexer met a byte that starts
// no token at all ("invalid literal"), which is judged like an unexpected token.
std::optional<std::string_view> token_content_fault(std::string_view message, bool at_end) {
  if (message.empty() || message.starts_with("invalid literal")) return std::nullopt;
  const bool in_string = message.starts_with("invalid string");
  if (at_end) return in_string ? "EOF while parsing a string" : "EOF while parsing a value";
  if (message.starts_with("invalid string: control character")) {
    return "control character (\\u0000-\\u001F) found while parsing a string";
  }
  if (message.starts_with("invalid string: ill-formed UTF-8")) return "invalid UTF-8";
  if (message.starts_with("invalid string: surrogate")) return "invalid unicode code point";
  if (in_string) return "invalid escape";
  if (message.starts_with("invalid number")) return "invalid number";
  if (message.starts_with("invalid BOM")) return "invalid byte order mark";
  return "expected value";
}

// What the parser wanted where it met the wrong token (or the end of the document).
std::string_view misplaced_token_fault(std::string_view expected, bool at_end) {
  if (at_end) {
    if (expected == "']'") return "EOF while parsing a list";
    if (expected == "'}'" || expected == "':'" || expected == "string literal")
      return "EOF while parsing an object";
    return "EOF while parsing a value";
  }
  if (expected == "']'") return "expected `,` or `]`";
  if (expected == "'}'") return "expected `,` or `}`";
  if (expected == "':'") return "expected `:`";
  if (expected == "string literal") return "key must be a string";
  return "expected value";
}

bool GraphFileSax::parse_error(std::size_t /*position*/, const std::string& last_token,
                               const nlohmann::detail::exception& ex) {
  constexpr int kNumberOverflow = 406;
  if (ex.id == kNumberOverflow) {
    at_number_end();
    return fail("number out of range");
  }
  const ParserComplaint c = split_complaint(ex.what(), last_token);
  if (c.found == "number literal") {
    at_number_end();
  } else {
    at_token_end();
  }
  if (document_done_) return fail("trailing characters");
  if (const auto fault = token_content_fault(c.lexer_message, cursor_.reached_end))
    return fail(*fault);
  if (c.found == "']'" || c.found == "'}'") {
    // A closing bracket where a value or key belongs: name the common cause when it is one.
    const std::string_view before = text_.substr(0, token_end_ - 1);
    const std::size_t prev = before.find_last_not_of(" \t\r\n");
    if (prev != std::string_view::npos && before[prev] == ',') return fail("trailing comma");
  }
  const bool at_end =
      c.found == "end of input" || (!c.lexer_message.empty() && cursor_.reached_end);
  return fail(misplaced_token_fault(c.expected, at_end));
}

}  // namespace

Expected<GraphFile, std::string> read_graph_file(std::string_view text) {
  ReadCursor cursor;
  GraphFileSax sax(text, cursor);
  const bool ok =
      nlohmann::json::sax_parse(CountingIterator(text.data(), &cursor),
                                CountingIterator(text.data() + text.size(), &cursor), &sax);
  if (sax.error()) return Unexpected{std::move(*sax.error())};
  if (!ok) return Unexpected{std::string("invalid JSON")};  // every stop records a fault first
  return std::move(sax.file());
}

}  // namespace arvex
