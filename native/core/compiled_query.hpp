#pragma once
// The result of every emitter, and the parameter accumulator that builds it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/bind_value.hpp"

namespace sarnic {

//! One entry of the parameter type summary: "<field>:<suffix>", or a whole
//! fixed label such as "limit:int". Kept as two views so that labelling a value
//! allocates nothing; render() builds the text.
struct ParamLabel {
  std::string_view field;   //!< the IR field reference's name (may be empty)
  std::string_view suffix;  //!< operator text or fixed suffix, without the colon
  bool has_field = true;    //!< false: `suffix` is the whole label

  static ParamLabel of_field(std::string_view field, std::string_view suffix) { return {field, suffix, true}; }
  static ParamLabel whole(std::string_view label) { return {{}, label, false}; }

  std::size_t size() const { return has_field ? field.size() + 1 + suffix.size() : suffix.size(); }
  void append_to(std::string& out) const {
    if (has_field) {
      out.append(field);
      out.push_back(':');
    }
    out.append(suffix);
  }
  std::string render() const {
    std::string s;
    s.reserve(size());
    append_to(s);
    return s;
  }
};

struct CompiledQuery {
  std::string sql_text;
  std::vector<BindValue> bound_params;
  std::vector<ParamLabel> param_type_summary;
  std::string fingerprint;
};

//! Bound values and their labels, always appended together. The next
//! placeholder number is the current count plus one.
struct Params {
  std::vector<BindValue> values;
  std::vector<ParamLabel> labels;

  std::uint64_t next_number() const { return values.size() + 1; }
  void reserve(std::size_t n) {
    values.reserve(n);
    labels.reserve(n);
  }
  void bind(const BindValue& value, ParamLabel label) {
    values.push_back(value);
    labels.push_back(label);
  }
};

}  // namespace sarnic
