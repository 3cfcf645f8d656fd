#include "sql/order.hpp"

#include <limits>

#include "sql/fts/fts.hpp"
#include "sql/where.hpp"

namespace sarnic {
namespace {

constexpr std::string_view kVectorOrderUnsupported =
    "vector_order_by is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)";

std::string_view distance_operator(VectorMetric metric) {
  switch (metric) {
    case VectorMetric::L2: return "<->";
    case VectorMetric::Cosine: return "<=>";
    case VectorMetric::InnerProduct: return "<#>";
  }
  return "<->";
}

// An OFFSET needs a LIMIT before it in these dialects; this is their "no limit".
std::string_view unbounded_limit(Dialect dialect) {
  switch (dialect.kind) {
    case Dialect::MySql: return "18446744073709551615";
    case Dialect::Sqlite: return "-1";
    case Dialect::Postgres:
    case Dialect::Mssql: return {};
  }
  return {};
}

//! Returns whether an ORDER BY was written.
CompileResult<bool> append_ordering(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                    const QuerySetIR& ir, std::string_view base_table_ref, bool qualify,
                                    Params& params) {
  if (!ir.order_by.empty()) {
    out.append(" ORDER BY ");
    bool first = true;
    for (const OrderBy& key : ir.order_by) {
      std::string_view direction;
      switch (key.direction) {
        case SortDirection::Asc: direction = " ASC"; break;
        case SortDirection::Desc: direction = " DESC"; break;
        case SortDirection::Unknown:
          return std::unexpected(invalid_sort_direction(metadata.model_name, key.field.name));
      }
      if (!first) out.append(", ");
      first = false;
      qualify_base_column(out, dialect, base_table_ref, field_at(metadata, key.field.index).column_name, qualify);
      out.append(direction);
    }
    return true;
  }
  if (ir.vector_order_by) {
    const VectorOrderBy& vector = *ir.vector_order_by;
    // The distance operators are pgvector's; elsewhere they would be a syntax
    // error at best.
    if (!dialect.traits().vector_order) return std::unexpected(malformed_ir(std::string(kVectorOrderUnsupported)));
    out.append(" ORDER BY ");
    qualify_base_column(out, dialect, base_table_ref, field_at(metadata, vector.field.index).column_name, qualify);
    out.push_back(' ');
    out.append(distance_operator(vector.metric));
    out.push_back(' ');
    append_placeholder(out, dialect, params.next_number());
    params.bind(vector.value, ParamLabel::of_field(vector.field.name, "nearest_to"));
    return true;
  }
  if (ir.text_rank_by) {
    const TextRankBy& rank = *ir.text_rank_by;
    const FieldMeta& field = field_at(metadata, rank.field.index);
    out.append(" ORDER BY ");
    fts::emit_rank_order_for_column(out, dialect, metadata, rank.field.index,
                                    ColumnRef{base_table_ref, field.column_name, qualify}, rank, field,
                                    metadata.table_name, params.next_number());
    params.bind(rank.query, ParamLabel::of_field(rank.field.name, "text_rank"));
    return true;
  }
  return false;
}

// Counts above the largest signed 64-bit value are bound as that value.
std::int64_t clamp_count(std::uint64_t count) {
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return static_cast<std::int64_t>(count > max ? max : count);
}

void bind_count(std::string& out, Dialect dialect, Params& params, std::uint64_t count, std::string_view label) {
  append_placeholder(out, dialect, params.next_number());
  params.bind(BindValue::integer(clamp_count(count)), ParamLabel::whole(label));
}

}  // namespace

CompileStatus append_order_limit_offset(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                        const QuerySetIR& ir, std::string_view base_table_ref, bool qualify,
                                        Params& params) {
  CompileResult<bool> ordered = append_ordering(out, dialect, metadata, ir, base_table_ref, qualify, params);
  if (!ordered) return std::unexpected(std::move(ordered.error()));

  append_paging(out, dialect, params, ir.limit, ir.offset, *ordered);
  return {};
}

void append_paging(std::string& out, Dialect dialect, Params& params, std::optional<std::uint64_t> limit,
                   std::optional<std::uint64_t> offset, bool ordered) {
  switch (dialect.traits().paging) {
    case Paging::LimitOffset:
      if (limit) {
        out.append(" LIMIT ");
        bind_count(out, dialect, params, *limit, "limit:int");
      } else if (offset && !unbounded_limit(dialect).empty()) {
        out.append(" LIMIT ");
        out.append(unbounded_limit(dialect));
      }
      if (offset) {
        out.append(" OFFSET ");
        bind_count(out, dialect, params, *offset, "offset:int");
      }
      break;
    case Paging::OffsetFetchNext:
      if (!limit && !offset) break;
      // OFFSET ... FETCH needs an ORDER BY; any will do.
      if (!ordered) out.append(" ORDER BY (SELECT NULL)");
      out.append(" OFFSET ");
      bind_count(out, dialect, params, offset.value_or(0), "offset:int");
      out.append(" ROWS");
      if (limit) {
        out.append(" FETCH NEXT ");
        bind_count(out, dialect, params, *limit, "limit:int");
        out.append(" ROWS ONLY");
      }
      break;
  }
}

}  // namespace sarnic
