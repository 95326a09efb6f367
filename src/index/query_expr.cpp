#include "index/query_expr.hpp"

namespace vantorelle {

std::string_view builder_name(QueryExpr::Kind kind) {
  switch (kind) {
    case QueryExpr::Kind::Eq: return "eq";
    case QueryExpr::Kind::Ne: return "ne";
    case QueryExpr::Kind::Gt: return "gt";
    case QueryExpr::Kind::Ge: return "ge";
    case QueryExpr::Kind::Lt: return "lt";
    case QueryExpr::Kind::Le: return "le";
    case QueryExpr::Kind::Bt: return "bt";
    case QueryExpr::Kind::In: return "in_";
    case QueryExpr::Kind::Not: return "not_";
    case QueryExpr::Kind::And: return "and_";
    case QueryExpr::Kind::Or: return "or_";
  }
  return "?";
}

namespace {

std::string_view variant_name(QueryExpr::Kind kind) {
  switch (kind) {
    case QueryExpr::Kind::Eq: return "Eq";
    case QueryExpr::Kind::Ne: return "Ne";
    case QueryExpr::Kind::Gt: return "Gt";
    case QueryExpr::Kind::Ge: return "Ge";
    case QueryExpr::Kind::Lt: return "Lt";
    case QueryExpr::Kind::Le: return "Le";
    case QueryExpr::Kind::Bt: return "Bt";
    case QueryExpr::Kind::In: return "In";
    case QueryExpr::Kind::Not: return "Not";
    case QueryExpr::Kind::And: return "And";
    case QueryExpr::Kind::Or: return "Or";
  }
  return "?";
}

}  // namespace

std::string QueryExpr::debug_text() const {
  std::string text(variant_name(kind));
  text += "(";
  auto join = [&text](const auto& items, auto&& render) {
    text += "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) text += ", ";
      text += render(items[i]);
    }
    text += "]";
  };
  std::vector<std::string> rendered;
  switch (kind) {
    case Kind::In:
      text += debug_quoted(path.view()) + ", ";
      for (std::size_t i = 0; i < values.size(); ++i) rendered.push_back(values[i].debug_text(hashes.at(i)));
      join(rendered, [](const std::string& v) { return v; });
      break;
    case Kind::Not: text += children.front().debug_text(); break;
    case Kind::And:
    case Kind::Or: join(children, [](const QueryExpr& child) { return child.debug_text(); }); break;
    default:
      text += debug_quoted(path.view());
      for (std::size_t i = 0; i < values.size(); ++i) text += ", " + values[i].debug_text(hashes.at(i));
  }
  return text + ")";
}

}  // namespace vantorelle
