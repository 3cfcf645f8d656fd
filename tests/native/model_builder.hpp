#pragma once
// Builders for ModelMetadata and QuerySetIR in C++ tests. The records hold
// views and spans, so each builder owns every array and text it hands out;
// keep the builder alive as long as the records built from it.
//
//   ModelBuilder m("Article", "articles");
//   m.field("id", FieldType::Int, {"eq"})
//    .field("body", FieldType::Text, {"eq", "match"}).column("body_txt").fts_config("english")
//    .index("body_idx", {"body"}, "simple");
//   IrBuilder q;
//   q.select({m.ref("id")}).filter(m.ref("body"), "match", q.text("cats"));
//   ModelMetadata md = m.build();
//   QuerySetIR ir = q.build();
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/compile.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"

namespace sarnic::testing {

//! Owns copies of texts and arrays; addresses stay stable as it grows.
class Keeper {
 public:
  std::string_view str(std::string_view s) { return strings_.emplace_back(s); }

  template <class T>
  std::span<const T> span(std::vector<T> items) {
    auto owned = std::make_shared<std::vector<T>>(std::move(items));
    std::span<const T> view(*owned);
    arrays_.push_back(std::move(owned));
    return view;
  }

  std::span<const std::string_view> strs(std::initializer_list<std::string_view> items) {
    std::vector<std::string_view> kept;
    for (std::string_view s : items) kept.push_back(str(s));
    return span(std::move(kept));
  }

  BindValue text(std::string_view s) { return BindValue::text(str(s)); }
  BindValue datetime(std::string_view s) { return BindValue::datetime(str(s)); }
  BindValue floats(std::vector<double> v) { return BindValue::float_array(span(std::move(v))); }
  BindValue ints(std::vector<std::int64_t> v) { return BindValue::int_array(span(std::move(v))); }
  BindValue texts(std::initializer_list<std::string_view> v) { return BindValue::text_array(strs(v)); }
  BindValue bytes(std::vector<std::uint8_t> v) { return BindValue::bytes(span(std::move(v))); }

 private:
  std::deque<std::string> strings_;
  std::vector<std::shared_ptr<void>> arrays_;
};

class ModelBuilder : public Keeper {
 public:
  explicit ModelBuilder(std::string_view model_name = "Article", std::string_view table_name = "articles")
      : model_name_(str(model_name)), table_name_(str(table_name)) {}

  //! Adds a field whose column is its name; the modifiers below apply to the last field added.
  ModelBuilder& field(std::string_view name, FieldType type, std::initializer_list<std::string_view> ops = {}) {
    FieldMeta f;
    f.name = str(name);
    f.column_name = f.name;
    f.field_type = type;
    f.allowed_operators = strs(ops);
    fields_.push_back(f);
    return *this;
  }
  ModelBuilder& column(std::string_view c) { return last([&](FieldMeta& f) { f.column_name = str(c); }); }
  ModelBuilder& nullable(bool n = true) { return last([&](FieldMeta& f) { f.nullable = n; }); }
  ModelBuilder& dimensions(std::uint32_t d) { return last([&](FieldMeta& f) { f.vector_dimensions = d; }); }
  ModelBuilder& fts_config(std::string_view c) { return last([&](FieldMeta& f) { f.fts_config = str(c); }); }
  ModelBuilder& source_columns(std::initializer_list<std::string_view> cols) {
    return last([&](FieldMeta& f) { f.fts_source_columns = strs(cols); });
  }

  ModelBuilder& index(std::string_view name, std::initializer_list<std::string_view> fields,
                      std::optional<std::string_view> config = std::nullopt) {
    FullTextIndexMeta idx;
    idx.name = str(name);
    idx.fields = strs(fields);
    if (config) idx.config = str(*config);
    indexes_.push_back(idx);
    return *this;
  }

  ModelBuilder& pk(std::uint64_t index) {
    pk_index_ = index;
    return *this;
  }
  ModelBuilder& pk_fields(std::vector<std::uint64_t> fields) {
    pk_fields_ = std::move(fields);
    return *this;
  }

  //! A reference to the field of that name; an unknown name gets index = field count.
  FieldRef ref(std::string_view name) {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (fields_[i].name == name) return {fields_[i].name, i};
    }
    return {str(name), fields_.size()};
  }

  std::size_t field_count() const { return fields_.size(); }

  //! Valid until the next change to this builder.
  ModelMetadata build() const {
    ModelMetadata m;
    m.model_name = model_name_;
    m.table_name = table_name_;
    m.fields = fields_;
    m.pk_index = pk_index_;
    m.pk_fields = pk_fields_;
    m.full_text_indexes = indexes_;
    return m;
  }

 private:
  template <class F>
  ModelBuilder& last(F&& apply) {
    if (!fields_.empty()) apply(fields_.back());
    return *this;
  }

  std::string_view model_name_, table_name_;
  std::vector<FieldMeta> fields_;
  std::vector<FullTextIndexMeta> indexes_;
  std::uint64_t pk_index_ = 0;
  std::vector<std::uint64_t> pk_fields_;
};

class IrBuilder : public Keeper {
 public:
  using Row = std::vector<Assignment>;
  using Values = std::vector<BindValue>;

  IrBuilder() { ir_.version = SUPPORTED_IR_VERSION; }

  IrBuilder& version(std::uint32_t v) { return set([&] { ir_.version = v; }); }
  IrBuilder& select(std::vector<FieldRef> fields = {}) { return set([&] { ir_.operation = Select{span(std::move(fields))}; }); }
  IrBuilder& insert(Row values) { return set([&] { ir_.operation = Insert{span(std::move(values))}; }); }
  IrBuilder& update(Row assignments, bool danger = false) {
    return set([&] { ir_.operation = Update{span(std::move(assignments)), danger}; });
  }
  IrBuilder& delete_(bool danger = false) { return set([&] { ir_.operation = Delete{danger}; }); }
  IrBuilder& bulk_insert(std::vector<Row> rows, bool returning = false) {
    std::vector<std::span<const Assignment>> kept;
    for (Row& r : rows) kept.push_back(span(std::move(r)));
    return set([&] { ir_.operation = BulkInsert{span(std::move(kept)), returning}; });
  }
  //! Rows as (pk_values, values) pairs.
  IrBuilder& bulk_update(std::vector<FieldRef> pk_fields, std::vector<FieldRef> fields,
                         std::vector<std::pair<Values, Values>> rows) {
    std::vector<BulkUpdateRow> kept;
    for (auto& [pk, values] : rows) kept.push_back({span(std::move(pk)), span(std::move(values))});
    return set([&] { ir_.operation = BulkUpdate{span(std::move(pk_fields)), span(std::move(fields)), span(std::move(kept))}; });
  }
  IrBuilder& bulk_delete(std::vector<FieldRef> pk_fields, std::vector<Values> ids) {
    std::vector<std::span<const BindValue>> kept;
    for (Values& row : ids) kept.push_back(span(std::move(row)));
    return set([&] { ir_.operation = BulkDelete{span(std::move(pk_fields)), span(std::move(kept))}; });
  }

  IrBuilder& filter(FieldRef field, std::string_view op, BindValue value = BindValue::integer(1)) {
    filters_.push_back(make_filter(field, op, value));
    return *this;
  }
  IrBuilder& where(Predicate p) { return set([&] { ir_.predicate = p; }); }
  IrBuilder& order(FieldRef field, SortDirection direction = SortDirection::Asc) {
    order_by_.push_back({field, direction});
    return *this;
  }
  IrBuilder& join(FieldRef local_field, std::string_view remote_table, std::string_view alias,
                  std::string_view relation = "author", std::string_view remote_pk_column = "id",
                  std::vector<JoinFieldRef> remote_fields = {}) {
    JoinSpec j;
    j.relation = str(relation);
    j.alias = str(alias);
    j.local_field = local_field;
    j.remote_table = str(remote_table);
    j.remote_pk_column = str(remote_pk_column);
    j.remote_fields = span(std::move(remote_fields));
    joins_.push_back(j);
    return *this;
  }
  IrBuilder& nearest(FieldRef field, BindValue value, VectorMetric metric = VectorMetric::L2) {
    return set([&] { ir_.vector_order_by = VectorOrderBy{field, metric, value}; });
  }
  IrBuilder& rank(FieldRef field, BindValue query, TextSearchMode mode = TextSearchMode::Plain) {
    return set([&] { ir_.text_rank_by = TextRankBy{field, query, mode}; });
  }
  IrBuilder& limit(std::uint64_t n) { return set([&] { ir_.limit = n; }); }
  IrBuilder& offset(std::uint64_t n) { return set([&] { ir_.offset = n; }); }
  IrBuilder& distinct(bool d = true) { return set([&] { ir_.distinct = d; }); }
  IrBuilder& exists(bool e = true) { return set([&] { ir_.exists = e; }); }

  // Predicate trees; children are kept by this builder.
  Predicate leaf(FieldRef field, std::string_view op, BindValue value = BindValue::integer(1)) {
    Predicate p;
    p.kind = Predicate::Kind::Filter;
    p.filter = make_filter(field, op, value);
    return p;
  }
  Predicate all(std::vector<Predicate> children) { return group(Predicate::Kind::And, std::move(children)); }
  Predicate any(std::vector<Predicate> children) { return group(Predicate::Kind::Or, std::move(children)); }
  Predicate negate(Predicate child) { return group(Predicate::Kind::Not, {child}); }

  //! Valid until the next change to this builder.
  QuerySetIR build() const {
    QuerySetIR ir = ir_;
    ir.filters = filters_;
    ir.order_by = order_by_;
    ir.joins = joins_;
    return ir;
  }

 private:
  template <class F>
  IrBuilder& set(F&& apply) {
    apply();
    return *this;
  }
  Filter make_filter(FieldRef field, std::string_view op, BindValue value) {
    return Filter{field, str(op), value};
  }
  Predicate group(Predicate::Kind kind, std::vector<Predicate> children) {
    Predicate p;
    p.kind = kind;
    std::span<const Predicate> kept = span(std::move(children));
    p.child_data = kept.data();
    p.child_count = kept.size();
    return p;
  }

  QuerySetIR ir_;
  std::vector<Filter> filters_;
  std::vector<OrderBy> order_by_;
  std::vector<JoinSpec> joins_;
};

}  // namespace sarnic::testing
