// What the two SQL backends share: the column list, the filter as a WHERE
// clause with bound parameters, and the check of a filter. Internal to the
// store library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/RecordStore.h"

namespace qmb::store::sql {

// The record's columns in table order; "operator" quoted as every column is.
extern const char* const kColumnNames[23];
constexpr int kColumnCount = 23;

// "\"id\", \"station\", ..." (prefix before each name, e.g. "r.").
std::string ColumnList(const std::string& prefix = "");

// A bound value: text, a whole number, or NULL.
struct Value {
    enum class Type { kNull, kText, kInteger } type = Type::kNull;
    std::string text;
    int64_t integer = 0;
    static Value Null() { return {}; }
    static Value Of(std::string t) { return {Type::kText, std::move(t), 0}; }
    static Value Of(int64_t n) { return {Type::kInteger, {}, n}; }
    static Value Of(const std::optional<std::string>& t) { return t ? Of(*t) : Null(); }
};

// The record's values in column order.
std::vector<Value> RecordValues(const Record& record);

// " WHERE ..." (or "") for the filter; the values go to params, each
// written in the SQL as placeholder(index) with index counting from 1 over
// params. CheckFilter must have passed. Times compare as canonical text.
std::string WhereClause(const RecordFilter& filter, std::vector<Value>& params,
                        const std::function<std::string(size_t)>& placeholder);

// The canonical text ("....Z") of a filter time that CheckFilter accepted.
std::string CanonicalTime(const std::string& text);

// Throws StoreError(kInvalid) when CheckRecord or CheckFilter fails.
void RequireSound(const Record& record);
void RequireSound(const RecordFilter& filter);

}  // namespace qmb::store::sql
