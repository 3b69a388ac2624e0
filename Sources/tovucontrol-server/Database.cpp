#include "Database.hpp"

#include <charconv>

namespace tovu::server {

const std::string& Row::text(std::size_t i) const {
    const auto& c = columns.at(i);
    if (!c) throw DatabaseError("column " + std::to_string(i) + " is null");
    return *c;
}

std::int64_t Row::integer(std::size_t i) const {
    const auto& s = text(i);
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size())
        throw DatabaseError("column " + std::to_string(i) + " is not an integer: " + s);
    return v;
}

std::optional<std::int64_t> Row::optInteger(std::size_t i) const {
    if (!columns.at(i)) return std::nullopt;
    return integer(i);
}

std::optional<Row> Transaction::one(const std::string& sql, const Params& params) {
    auto rows = query(sql, params);
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
}

std::vector<std::vector<Row>> Transaction::batch(const std::vector<Statement>& statements) {
    std::vector<std::vector<Row>> results;
    results.reserve(statements.size());
    for (const auto& s : statements)
        results.push_back(query(s.sql, s.params));
    return results;
}

std::size_t Transaction::change(const std::string& sql, const Params& params) {
    return query(sql + " RETURNING 1", params).size();
}

} // namespace tovu::server
