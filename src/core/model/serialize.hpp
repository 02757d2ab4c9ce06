// A compact binary form of the model record, the expression values and the
// solve outcome, for pickling. Arrays are written whole (a stored nonzero
// costs 12 bytes: its index and its coefficient), nonlinear trees as a list
// of their distinct nodes, so sharing survives. Reading checks every length
// against the bytes there are and throws FormatError on damaged data.
#pragma once
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/model/model_data.hpp"
#include "core/model/solve_result.hpp"

namespace pelora {

class FormatError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

class Writer {
 public:
  template <class T>
  void put(const T& v) {
    append(&v, sizeof(T));
  }
  template <class T>
  void put_array(std::span<const T> v) {
    put<uint64_t>(v.size());
    append(v.data(), v.size() * sizeof(T));
  }
  void put_string(const std::string& s) {
    put<uint64_t>(s.size());
    append(s.data(), s.size());
  }
  void append(const void* p, size_t n) {
    const auto* c = static_cast<const char*>(p);
    out.insert(out.end(), c, c + n);
  }
  void reserve(size_t n) { out.reserve(n); }
  std::string out;
};

// True for well-formed UTF-8 (no overlong forms, no surrogates, <= U+10FFFF).
bool valid_utf8(const std::string& s) noexcept;

class Reader {
 public:
  explicit Reader(std::span<const char> in) : in_(in) {}
  template <class T>
  T get() {
    T v;
    std::memcpy(&v, take(sizeof(T)), sizeof(T));
    return v;
  }
  template <class T>
  std::vector<T> get_array() {
    const uint64_t n = get<uint64_t>();
    if (n > (in_.size() - pos_) / sizeof(T)) throw FormatError("pickled data is damaged");
    std::vector<T> v(n);
    if (n) std::memcpy(v.data(), take(n * sizeof(T)), n * sizeof(T));
    return v;
  }
  // Names and texts are UTF-8 (Python strings); anything else is damage.
  std::string get_string() {
    const uint64_t n = get<uint64_t>();
    if (n > in_.size() - pos_) throw FormatError("pickled data is damaged");
    std::string s(take(n), n);
    if (!valid_utf8(s)) throw FormatError("pickled data is damaged");
    return s;
  }
  bool done() const noexcept { return pos_ == in_.size(); }

 private:
  const char* take(size_t n) {
    if (n > in_.size() - pos_) throw FormatError("pickled data is damaged");
    const char* p = in_.data() + pos_;
    pos_ += n;
    return p;
  }
  std::span<const char> in_;
  size_t pos_ = 0;
};

void write_expr(Writer& w, const Expr& e);
Expr read_expr(Reader& r);
void write_quad(Writer& w, const QuadExpr& q);
QuadExpr read_quad(Reader& r);
void write_nl(Writer& w, const NlExpr& n);
NlExpr read_nl(Reader& r);
void write_constraint(Writer& w, const ConstraintRecord& c);
ConstraintRecord read_constraint(Reader& r);

// The whole record. A record read back gets an id of its own and names the
// written model as its origin (editing.hpp: copied_model).
std::string write_model(const ModelData& m);
ModelData read_model_data(std::span<const char> in);

// The outcome and its snapshot (everything but the Python basis object).
std::string write_result(const ResultData& d);
ResultData read_result(std::span<const char> in);

}  // namespace pelora
