// pelora_opt.read_model: a model file (MPS fixed or free, LP, gzip-compressed
// or not) read by HiGHS's own readers through `highspy`, then taken over
// array by array into a new Model.
//
// Rows map onto constraints by their bounds: equal bounds give `==`, one
// finite side `<=` or `>=`, and a ranged row (two different finite sides)
// gives two constraints in its place, `>= lower` then `<= upper`, both
// carrying the row's name; the row's dual is then the sum of their duals (at
// most one is non-zero). A free row is kept as `<= inf`. An integer column
// with bounds [0, 1] becomes a binary variable.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <system_error>
#include <thread>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include "core/model/building.hpp"
#include "core/model/mps_check.hpp"
#include "python/model/model_object.hpp"
#include "python/registry.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/types.hpp"
#include "python/solve/arrays.hpp"
#include "python/solve/highs_adapter.hpp"

namespace pelora::py {
namespace {

std::string utf8(PyObject* s) {
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(s, &n);
  if (!c) throw_already_set();
  return std::string(c, static_cast<size_t>(n));
}

std::vector<std::string> read_strings(PyObject* seq) {
  Ref list = check(PySequence_List(seq));
  const Py_ssize_t n = PyList_Size(list.get());
  std::vector<std::string> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list.get(), i);
    if (!PyUnicode_Check(item)) throw_type_error("read_model: a name from highspy is not a str");
    out[static_cast<size_t>(i)] = utf8(item);
  }
  return out;
}

std::vector<size_t> read_counts(PyObject* seq) {
  std::vector<double> v = read_floats(seq);
  std::vector<size_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = static_cast<size_t>(v[i]);
  return out;
}

std::vector<int> read_kinds(PyObject* seq) {
  Ref list = check(PySequence_List(seq));
  const Py_ssize_t n = PyList_Size(list.get());
  std::vector<int> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref v = check(PyNumber_Index(PyList_GetItem(list.get(), i)));
    out[static_cast<size_t>(i)] = static_cast<int>(PyLong_AsLong(v.get()));
  }
  return out;
}

[[noreturn]] void unreadable(const std::string& file, const std::string& why) {
  throw_value_error("read_model: cannot read " + file + ": " + why);
}

// The non-negative integers of a one-dimensional int32 array (what
// highspy's bulk getters return) in one copy, or of a list of ints, as T
// (a value T cannot hold becomes T's largest, which no size reaches).
template <class T>
std::vector<T> read_indices(PyObject* seq) {
  constexpr auto kMax = static_cast<size_t>(std::numeric_limits<T>::max());
  Py_buffer view;
  if (PyObject_CheckBuffer(seq) && PyObject_GetBuffer(seq, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
    const std::string_view f = view.format ? view.format : "";
    if (view.ndim == 1 && view.itemsize == 4 && (f == "i" || f == "<i" || f == "=i")) {
      const auto* p = static_cast<const int32_t*>(view.buf);
      std::vector<T> out(static_cast<size_t>(view.len) / 4);
      bool negative = false;
      for (size_t k = 0; k < out.size(); ++k) {
        negative |= p[k] < 0;
        out[k] = static_cast<T>(static_cast<uint32_t>(p[k]));
      }
      PyBuffer_Release(&view);
      if (negative) throw_value_error("read_model: highspy returned a negative index");
      return out;
    }
    PyBuffer_Release(&view);
  }
  PyErr_Clear();
  if (!PyList_Check(seq)) {
    const std::vector<size_t> counts = read_counts(seq);
    std::vector<T> out(counts.size());
    for (size_t k = 0; k < counts.size(); ++k) out[k] = static_cast<T>(std::min(counts[k], kMax));
    return out;
  }
  const Py_ssize_t n = PyList_Size(seq);
  std::vector<T> out(static_cast<size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    const Py_ssize_t v = PyLong_AsSsize_t(PyList_GetItem(seq, k));
    if (v < 0) {
      if (PyErr_Occurred()) throw_already_set();
      throw_value_error("read_model: highspy returned a negative index");
    }
    out[static_cast<size_t>(k)] = static_cast<T>(std::min(static_cast<size_t>(v), kMax));
  }
  return out;
}

// A compressed-sparse matrix as HiGHS holds it (column-wise by default).
struct Sparse {
  bool rowwise = false;
  std::vector<size_t> start;
  std::vector<uint32_t> index;
  std::vector<double> value;
};

Sparse read_sparse(PyObject* matrix, PyObject* highspy) {
  Sparse s;
  Ref format = get_attr(matrix, "format_");
  Ref cls = get_attr(highspy, "MatrixFormat");
  Ref rowwise = get_attr(cls.get(), "kRowwise");
  const int eq = PyObject_RichCompareBool(format.get(), rowwise.get(), Py_EQ);
  if (eq < 0) throw_already_set();
  s.rowwise = eq == 1;
  s.start = read_indices<size_t>(get_attr(matrix, "start_").get());
  s.index = read_indices<uint32_t>(get_attr(matrix, "index_").get());
  s.value = read_floats(get_attr(matrix, "value_").get());
  return s;
}

// What read_model takes from HiGHS, as plain arrays.
struct HighsArrays {
  std::vector<double> cost, col_lower, col_upper, row_lower, row_upper;
  Sparse a;
};

// Item `i` of a tuple a highspy getter returns, after checking its status.
PyObject* result_item(PyObject* highspy, PyObject* result, Py_ssize_t i, const std::string& file) {
  if (!PyTuple_Check(result) || PyTuple_Size(result) <= i)
    unreadable(file, "highspy returned an unexpected result");
  if (highs_status_is(highspy, PyTuple_GetItem(result, 0), "kError"))
    unreadable(file, "highspy could not hand over the model it read");
  return PyTuple_GetItem(result, i);  // borrowed
}

// Columns, rows and the matrix from the copy of the model highspy hands
// out (its `lp_`), one array at a time, each read in one pass and dropped before
// the next. (highspy's getCols/getColsEntries return NumPy arrays, but
// build them through temporaries of about twice the matrix's size, and
// take longer than these conversions.)
HighsArrays read_arrays(PyObject* highspy, PyObject* lp) {
  HighsArrays out;
  out.cost = read_floats(get_attr(lp, "col_cost_").get());
  out.col_lower = read_floats(get_attr(lp, "col_lower_").get());
  out.col_upper = read_floats(get_attr(lp, "col_upper_").get());
  out.row_lower = read_floats(get_attr(lp, "row_lower_").get());
  out.row_upper = read_floats(get_attr(lp, "row_upper_").get());
  out.a = read_sparse(get_attr(lp, "a_matrix_").get(), highspy);
  return out;
}

// The second item of a (status, value) pair a highspy getter returns.
Ref status_value(PyObject* highspy, Ref pair, const std::string& file) {
  return Ref::borrow(result_item(highspy, pair.get(), 1, file));
}

// Takes `highs` over, and lets it go once its model is copied.
PyObject* build_model(const std::string& file, PyObject* highspy, Ref highs) {
  PyObject* h = highs.get();
  const size_t ncol = static_cast<size_t>(PyLong_AsSsize_t(call_method(h, "getNumCol").get()));
  const size_t nrow = static_cast<size_t>(PyLong_AsSsize_t(call_method(h, "getNumRow").get()));
  if (PyErr_Occurred()) throw_already_set();
  const double offset =
      PyFloat_AsDouble(status_value(highspy, call_method(h, "getObjectiveOffset"), file).get());
  if (PyErr_Occurred()) throw_already_set();
  Ref sense = status_value(highspy, call_method(h, "getObjectiveSense"), file);
  Ref sense_cls = get_attr(highspy, "ObjSense");
  Ref maximize_value = get_attr(sense_cls.get(), "kMaximize");
  const int maximize = PyObject_RichCompareBool(sense.get(), maximize_value.get(), Py_EQ);
  if (maximize < 0) throw_already_set();
  const size_t hessian_nonzeros =
      static_cast<size_t>(PyLong_AsSsize_t(call_method(h, "getHessianNumNz").get()));
  if (PyErr_Occurred()) throw_already_set();
  // Everything else comes from one copy of the model; HiGHS (clearing a
  // model keeps its memory) goes before the arrays are read, so that it and
  // the copy are never held together with the arrays.
  Ref model = call_method(h, "getModel");
  call_method(h, "clearModel");
  h = nullptr;
  highs = Ref();
#if defined(__GLIBC__)
  // HiGHS's model was spread over the heap; its freed pages go back to the
  // system before the arrays (whose objects Python places elsewhere) come.
  malloc_trim(0);
#endif
  Ref lp = get_attr(model.get(), "lp_");
  HighsArrays arrays = read_arrays(highspy, lp.get());
  const std::vector<double>& cost = arrays.cost;
  const std::vector<double>& col_lower = arrays.col_lower;
  const std::vector<double>& col_upper = arrays.col_upper;
  const std::vector<double>& row_lower = arrays.row_lower;
  const std::vector<double>& row_upper = arrays.row_upper;
  Sparse& a = arrays.a;
  std::vector<std::string> col_names = read_strings(get_attr(lp.get(), "col_names_").get());
  std::vector<std::string> row_names = read_strings(get_attr(lp.get(), "row_names_").get());
  // Integrality is empty for a model without integer columns.
  const std::vector<int> kinds = read_kinds(get_attr(lp.get(), "integrality_").get());
  size_t hdim = 0;
  Sparse q;
  if (hessian_nonzeros > 0) {
    Ref hessian = get_attr(model.get(), "hessian_");
    hdim = static_cast<size_t>(PyLong_AsSsize_t(get_attr(hessian.get(), "dim_").get()));
    if (PyErr_Occurred()) throw_already_set();
    if (hdim > 0) q = read_sparse(hessian.get(), highspy);
  }
  std::string model_name;
  Ref name = get_attr(lp.get(), "model_name_");
  if (PyUnicode_Check(name.get()) && PyUnicode_GetLength(name.get()) > 0) model_name = utf8(name.get());
  // Everything is read: the copy goes before the Model is built.
  name = Ref();
  lp = Ref();
  model = Ref();

  if (cost.size() != ncol || col_lower.size() != ncol || col_upper.size() != ncol ||
      row_lower.size() != nrow || row_upper.size() != nrow || a.index.size() != a.value.size() ||
      a.start.size() != (a.rowwise ? nrow : ncol) + 1 || a.start.back() != a.index.size() ||
      (!kinds.empty() && kinds.size() != ncol) || !std::is_sorted(a.start.begin(), a.start.end()))
    unreadable(file, "HiGHS returned arrays of inconsistent sizes");
  if (col_names.size() != ncol) {
    col_names.resize(ncol);
    for (size_t j = 0; j < ncol; ++j) col_names[j] = "C" + std::to_string(j);
  }
  if (row_names.size() != nrow) {
    row_names.resize(nrow);
    for (size_t r = 0; r < nrow; ++r) row_names[r] = "R" + std::to_string(r);
  }

  ModelState st;
  ModelData& d = st.data;
  if (!model_name.empty()) d.name = std::move(model_name);
  if (!variables_fit(d, ncol)) unreadable(file, "too many columns");
  reserve_variables(d, ncol);
  for (size_t j = 0; j < ncol; ++j) {
    VarKind kind = VarKind::Continuous;
    const int k = kinds.empty() ? 0 : kinds[j];
    if (k == 1) {
      kind = col_lower[j] == 0.0 && col_upper[j] == 1.0 ? VarKind::Binary : VarKind::Integer;
    } else if (k != 0) {
      unreadable(file, "column " + col_names[j] +
                           " is semi-continuous or semi-integer, which a Model cannot hold");
    }
    add_variable(d, std::move(col_names[j]), col_lower[j], col_upper[j], kind);
  }

  // Row-wise terms, from the column-wise matrix by one counting pass.
  std::vector<size_t> row_start(nrow + 1, 0);
  std::vector<VarIndex> cols(a.index.size());
  std::vector<double> vals(a.index.size());
  if (a.rowwise) {
    for (size_t r = 0; r <= nrow; ++r) row_start[r] = a.start[r];
    for (size_t k = 0; k < a.index.size(); ++k) {
      if (a.index[k] >= ncol) unreadable(file, "a matrix entry names a missing column");
      cols[k] = static_cast<VarIndex>(a.index[k]);
      vals[k] = a.value[k];
    }
  } else {
    for (size_t k = 0; k < a.index.size(); ++k) {
      if (a.index[k] >= nrow) unreadable(file, "a matrix entry names a missing row");
      ++row_start[a.index[k] + 1];
    }
    for (size_t r = 0; r < nrow; ++r) row_start[r + 1] += row_start[r];
    std::vector<size_t> fill(row_start.begin(), row_start.end() - 1);
    for (size_t j = 0; j < ncol; ++j) {
      for (size_t k = a.start[j]; k < a.start[j + 1]; ++k) {
        const size_t pos = fill[a.index[k]]++;
        cols[pos] = static_cast<VarIndex>(j);
        vals[pos] = a.value[k];
      }
    }
  }
  a.index = {};
  a.value = {};
  // The rows go straight into one arena; a ranged row is two rows.
  LinearRows rows;
  rows.reserve(nrow, row_start[nrow]);
  for (size_t r = 0; r < nrow; ++r) {
    const size_t begin = row_start[r], len = row_start[r + 1] - begin;
    const std::span<const VarIndex> index(cols.data() + begin, len);
    const std::span<const double> value(vals.data() + begin, len);
    const double lo = row_lower[r], up = row_upper[r];
    if (lo == up) {
      rows.append(index, value, lo, Sense::Eq, std::move(row_names[r]));
    } else if (lo == -INFINITY) {
      rows.append(index, value, up, Sense::Le, std::move(row_names[r]));
    } else if (up == INFINITY) {
      rows.append(index, value, lo, Sense::Ge, std::move(row_names[r]));
    } else {
      rows.append(index, value, lo, Sense::Ge, row_names[r]);
      rows.append(index, value, up, Sense::Le, std::move(row_names[r]));
    }
  }
  add_linear_constraints(d, std::move(rows));

  Expr linear;
  size_t nonzero_costs = 0;
  for (double c : cost) nonzero_costs += c != 0.0;
  linear.terms.reserve(nonzero_costs);
  for (size_t j = 0; j < ncol; ++j)
    if (cost[j] != 0.0) linear.terms.append_new(static_cast<VarIndex>(j), cost[j]);
  linear.constant = offset;
  QuadExpr quad;
  if (hdim > 0) {
    if (hdim != ncol) unreadable(file, "the Hessian's size differs from the column count");
    if (q.start.size() != hdim + 1 || q.index.size() != q.value.size())
      unreadable(file, "HiGHS returned a Hessian of inconsistent sizes");
    // HiGHS's Hessian Q (lower triangle, by column) means 0.5 x'Qx: a
    // diagonal entry is half a square's coefficient, an off-diagonal entry
    // the whole coefficient of its product.
    for (size_t j = 0; j < hdim; ++j) {
      for (size_t k = q.start[j]; k < q.start[j + 1]; ++k) {
        const size_t i = q.index[k];
        if (i >= hdim) unreadable(file, "a Hessian entry names a missing column");
        if (q.value[k] == 0.0) continue;
        const auto lo = static_cast<VarIndex>(std::min(i, j)), hi = static_cast<VarIndex>(std::max(i, j));
        quad.quad_terms.push_back(QuadTerm{lo, hi, i == j ? 0.5 * q.value[k] : q.value[k]});
      }
    }
  }
  if (quad.quad_terms.size() > 0) {
    quad.linear = std::move(linear);
    d.objective = Objective(std::move(quad));
  } else {
    d.objective = Objective(std::move(linear));
  }
  d.maximize = maximize == 1;
  return new_model_object(std::move(st));
}

// The bytes of the regular file at `path` (read, not mapped: a file cut
// short while it is read gives fewer bytes, never a fault), or false.
bool read_regular_file(const std::string& path, std::string& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    out.resize(static_cast<size_t>(st.st_size) + 1);
    size_t used = 0;
    for (;;) {
      if (used == out.size()) out.resize(2 * out.size());
      const ssize_t got = read(fd, out.data() + used, out.size() - used);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ok = got == 0;
        break;
      }
      used += static_cast<size_t>(got);
    }
    out.resize(used);
  }
  close(fd);
  return ok;
}

// The MPS entry check, run on a thread of its own while HiGHS reads the same
// file (the check needs nothing from the interpreter): of `text`, which must
// outlive this object, or of the regular file at `path`, read on that
// thread and let go as soon as the check is done. The object waits for the
// thread when it goes.
class BackgroundCheck {
 public:
  explicit BackgroundCheck(std::string_view text) : text_(text) { start(); }
  explicit BackgroundCheck(std::string path) : path_(std::move(path)), from_file_(true) { start(); }
  ~BackgroundCheck() {
    if (thread_.joinable()) thread_.join();
  }
  BackgroundCheck(const BackgroundCheck&) = delete;
  BackgroundCheck& operator=(const BackgroundCheck&) = delete;
  // The first fault of the text, once the check has finished.
  std::optional<std::string> fault() {
    if (thread_.joinable()) thread_.join();
    if (error_) std::rethrow_exception(error_);
    return fault_;
  }
  // False when the file could not be read (after fault()).
  bool checked() const { return checked_; }

 private:
  void start() {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      run();  // no thread to be had: the check runs here, now
    }
  }
  void run() noexcept {
    try {
      if (!from_file_) {
        fault_ = mps_fault(text_);
        checked_ = true;
        return;
      }
      std::string bytes;
      if (!read_regular_file(path_, bytes)) return;  // unchecked: see checked()
      fault_ = mps_fault(bytes);
      checked_ = true;
    } catch (...) {
      error_ = std::current_exception();
    }
  }
  std::string_view text_;
  std::string path_;
  bool from_file_ = false;
  bool checked_ = false;
  std::optional<std::string> fault_;
  std::exception_ptr error_;
  std::thread thread_;
};

// True for a regular file at `path` (a file HiGHS reads again after the
// check, unlike a pipe).
bool regular_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

const Params<1> kReadModel{"read_model()", {"path"}, 1, false};

// The suffix that chooses HiGHS's reader, in lower case ("" for none known).
std::string reader_suffix(const std::string& raw) {
  std::string lower = raw;
  for (char& ch : lower)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  for (const char* s : {".mps.gz", ".lp.gz", ".mps", ".lp"}) {
    const std::string tail(s);
    if (lower.size() >= tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0)
      return tail;
  }
  return "";
}

// A symbolic link to a file under a name HiGHS can open and whose suffix it
// recognises (plain UTF-8, lower-case suffix), removed with its folder when
// this goes.
class TempLink {
 public:
  TempLink(const std::string& target, const std::string& suffix) {
    char folder[] = "/tmp/pelora-read-XXXXXX";
    if (!mkdtemp(folder)) throw_error(PyExc_OSError, "read_model: cannot make a temporary folder");
    folder_ = folder;
    char* full = realpath(target.c_str(), nullptr);
    if (!full) throw_error(PyExc_OSError, "read_model: cannot resolve the path");
    const std::string absolute(full);
    free(full);
    path_ = folder_ + "/model" + suffix;
    if (symlink(absolute.c_str(), path_.c_str()) != 0) {
      path_.clear();
      throw_error(PyExc_OSError, "read_model: cannot link the file into a temporary folder");
    }
  }
  ~TempLink() {
    if (!path_.empty()) unlink(path_.c_str());
    if (!folder_.empty()) rmdir(folder_.c_str());
  }
  TempLink(const TempLink&) = delete;
  TempLink& operator=(const TempLink&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string folder_, path_;
};

// The bytes of the file when `read` (decompressed for .gz), or null when
// gzip cannot read them (HiGHS then judges the file itself). Opening gives the
// interpreter's own error for a missing or unreadable file.
Ref file_bytes(PyObject* path, bool gz, bool read) {
  Ref module = import_module(gz && read ? "gzip" : "io");
  Ref mode = py_str("rb");
  Ref f = call_method(module.get(), "open", path, mode.get());
  if (!read) {
    call_method(f.get(), "close");
    return Ref();
  }
  Ref data = Ref::steal(PyObject_CallMethod(f.get(), "read", nullptr));
  if (!data && !PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
  PyErr_Clear();
  call_method(f.get(), "close");
  if (data && !PyBytes_Check(data.get())) return Ref();
  return data;
}

PyObject* read_model_impl(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kReadModel, args, kw);
    // A str, bytes or os.PathLike path, as open() takes.
    Ref path = check(PyOS_FSPath(a[0]));
    Ref text = PyUnicode_Check(path.get())
                   ? path
                   : check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(path.get()),
                                                            PyBytes_Size(path.get())));
    const std::string file = utf8(Ref::steal(PyObject_Repr(text.get())).get());
    Ref encoded = PyUnicode_Check(path.get()) ? check(PyUnicode_EncodeFSDefault(path.get())) : path;
    const std::string raw(PyBytes_AsString(encoded.get()), static_cast<size_t>(PyBytes_Size(encoded.get())));
    const std::string suffix = reader_suffix(raw);
    const bool gz = suffix.size() > 3 && suffix.compare(suffix.size() - 3, 3, ".gz") == 0;
    const bool mps = suffix.rfind(".mps", 0) == 0;
    // HiGHS reports entries for undeclared rows or columns, and repeated
    // entries, only in its log and reads on without them: such a file is
    // refused here, with the line. The check runs while HiGHS reads: on the
    // bytes its thread reads itself when the file is a plain regular file,
    // else on its bytes (decompressed for .gz) read here.
    const bool check_reads_file = mps && !gz && regular_file(raw);
    Ref contents = file_bytes(path.get(), gz, mps && !check_reads_file);
    std::optional<BackgroundCheck> entry_check;
    if (check_reads_file) {
      entry_check.emplace(raw);
    } else if (contents) {
      entry_check.emplace(std::string_view(PyBytes_AsString(contents.get()),
                                           static_cast<size_t>(PyBytes_Size(contents.get()))));
    }
    const auto refuse_faulty = [&] {
      if (!entry_check) return;
      std::optional<std::string> fault = entry_check->fault();
      const bool checked = entry_check->checked();
      entry_check.reset();
      contents = Ref();
      if (!checked) {  // the thread could not read the file: its bytes are read here
        if (Ref bytes = file_bytes(path.get(), gz, true))
          fault = mps_fault(std::string_view(PyBytes_AsString(bytes.get()),
                                             static_cast<size_t>(PyBytes_Size(bytes.get()))));
      }
      if (fault) unreadable(file, *fault);
    };
    Ref highspy = Ref::steal(import_module_raw("highspy"));
    if (!highspy) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_already_set();
      PyErr_Clear();
      refuse_faulty();
      throw_error(PyExc_ImportError,
                  "read_model: reading " + file + " needs the highspy package (pip install highspy)");
    }
    // HiGHS takes a UTF-8 name and picks its reader by a lower-case suffix:
    // any other name reaches it through a link.
    const bool plain_name = PyUnicode_AsUTF8AndSize(text.get(), nullptr) != nullptr;
    PyErr_Clear();
    std::optional<TempLink> link;
    if (!plain_name || (!suffix.empty() && raw.compare(raw.size() - suffix.size(), suffix.size(), suffix) != 0)) {
      link.emplace(raw, suffix);
    }
    Ref name = link ? py_str(link->path()) : text;
    Ref h = new_highs(highspy.get(), false);
    set_highs_option(h.get(), "output_flag", Py_False);
    Ref status = call_method(h.get(), "readModel", name.get());
    refuse_faulty();
    if (highs_status_is(highspy.get(), status.get(), "kError"))
      unreadable(file, "HiGHS does not read it as an MPS or LP file");
    return build_model(file, highspy.get(), std::move(h));
  });
}

}  // namespace

PyMethodDef read_model_def = {
    "read_model", as_cfunction(read_model_impl), METH_VARARGS | METH_KEYWORDS,
    "read_model(path)\n--\n\n"
    "Read a model file (MPS fixed or free, LP; .gz compressed too) with HiGHS's readers\n"
    "(needs highspy) and return it as a Model. A ranged row becomes two constraints\n"
    "(>= lower, then <= upper) with the row's name; an integer column with bounds [0, 1]\n"
    "becomes a binary variable. The suffix (.mps, .lp, .gz) is read in any letter case.\n"
    "An MPS entry for a row or column the file does not declare, or an entry given\n"
    "twice, raises ValueError naming its line."};

}  // namespace pelora::py
