#include "vek_guard/json_reader.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace vek_guard {
namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Builds a BufferedValue from nlohmann's SAX events. nlohmann does the
// grammar (tokens, escapes, surrogates, UTF-8, whitespace, trailing text); this
// handler only places values and enforces the nesting budget, which the DOM
// parser would not do for us.
class BufferingHandler {
 public:
  using Json = nlohmann::json;

  bool null() { return place(BufferedValue()); }
  bool boolean(bool v) { return place(BufferedValue::boolean(v)); }
  bool number_unsigned(Json::number_unsigned_t v) {
    return place(BufferedValue::unsigned_integer(v));
  }
  bool number_integer(Json::number_integer_t v) {
    // nlohmann reports every integer token that starts with a minus sign
    // here, and every other one through number_unsigned; so a zero here can
    // only be the token "-0". It is not an integer for any field: keep it as
    // the floating number it would be in JSON's number model.
    if (v == 0) return place(BufferedValue::floating(-0.0));
    return place(BufferedValue::negative_integer(v));
  }
  bool number_float(Json::number_float_t v, const Json::string_t& /*raw*/) {
    return place(BufferedValue::floating(v));
  }
  bool string(Json::string_t& v) { return place(BufferedValue::string(std::move(v))); }
  bool binary(Json::binary_t& /*v*/) { return false; }

  bool start_object(std::size_t /*size*/) { return open(BufferedValue::object()); }
  bool start_array(std::size_t /*size*/) { return open(BufferedValue::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(Json::string_t& k) {
    BufferedValue::Object& members = *open_.back()->as_object();
    members.push_back(BufferedMember{std::move(k), BufferedValue()});
    member_slot_ = &members.back().value;
    return true;
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& /*error*/) {
    return false;
  }

  BufferedValue take_root() { return std::move(root_); }

 private:
  // Puts a complete scalar, or a container being opened, where the grammar
  // says the next value goes, and returns where it now lives.
  BufferedValue* slot_for(BufferedValue v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    if (member_slot_ != nullptr) {
      BufferedValue* slot = member_slot_;
      member_slot_ = nullptr;
      *slot = std::move(v);
      return slot;
    }
    BufferedValue::Array& elements = *open_.back()->as_array();
    elements.push_back(std::move(v));
    return &elements.back();
  }

  bool place(BufferedValue v) {
    slot_for(std::move(v));
    return true;
  }

  // The budget counts the container being opened: the outermost one is level
  // 1, and level kMaxJsonNesting is refused. Returning false stops the parse.
  // The pointers kept on the stack stay valid because only the innermost open
  // container grows; its ancestors only grow after it has been closed.
  bool open(BufferedValue container) {
    if (open_.size() + 1 >= kMaxJsonNesting) return false;
    open_.push_back(slot_for(std::move(container)));
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  BufferedValue root_;
  std::vector<BufferedValue*> open_;
  // Where the value of the member whose key was just read goes.
  BufferedValue* member_slot_ = nullptr;
};

}  // namespace

Result<BufferedValue, JsonRejection> BufferedValue::parse(std::string_view text) {
  // Two liberties of nlohmann's lexer that a strict reading must not take:
  // it takes a NUL byte for the end of the input (so "{}\0junk" would pass),
  // and it skips a UTF-8 byte order mark before the value. A raw NUL is never
  // valid JSON (not even inside a string), and a mark is not whitespace.
  if (text.find('\0') != std::string_view::npos) return unexpected(JsonRejection{});
  if (text.starts_with(kUtf8ByteOrderMark)) return unexpected(JsonRejection{});

  BufferingHandler handler;
  bool accepted = false;
  // The rest of the program is exception-free; nlohmann reports grammar
  // errors through the handler, but may still throw (allocation, or an
  // internal error for input it considers impossible). Any of those is just
  // one more way for a payload to be unreadable.
  try {
    accepted = nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &handler,
                                         nlohmann::json::input_format_t::json, /*strict=*/true);
  } catch (const std::exception&) {
    accepted = false;
  }
  if (!accepted) return unexpected(JsonRejection{});
  return handler.take_root();
}

bool operator==(const BufferedValue& a, const BufferedValue& b) { return a.storage_ == b.storage_; }

}  // namespace vek_guard
