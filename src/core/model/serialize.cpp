#include "core/model/serialize.hpp"

#include <unordered_map>
#include <variant>

#include "core/model/editing.hpp"

namespace pelora {
namespace {

constexpr uint32_t kModelMagic = 0x4d4c5031;   // "1PLM"
constexpr uint32_t kResultMagic = 0x524c5031;  // "1PLR"

[[noreturn]] void damaged() { throw FormatError("pickled data is damaged"); }

void write_optional_string(Writer& w, const std::optional<std::string>& s) {
  w.put<uint8_t>(s ? 1 : 0);
  if (s) w.put_string(*s);
}

std::optional<std::string> read_optional_string(Reader& r) {
  if (r.get<uint8_t>() == 0) return std::nullopt;
  return r.get_string();
}

Sense read_sense(Reader& r) {
  const auto s = r.get<uint8_t>();
  if (s > 2) damaged();
  return static_cast<Sense>(s);
}

void write_terms(Writer& w, const LinearTerms& t) {
  w.put<uint64_t>(t.size());
  for (const Term& x : t) w.put(x.index);
  for (const Term& x : t) w.put(x.coef);
}

LinearTerms read_terms(Reader& r) {
  const std::vector<VarIndex> idx = r.get_array<VarIndex>();
  // the coefficients follow without their own length
  LinearTerms t;
  t.reserve(idx.size());
  for (VarIndex i : idx) t.append_new(i, r.get<double>());
  return t;
}

void write_names(Writer& w, const VarNames& names) {
  w.put<uint64_t>(names.block_count());
  for (size_t b = 0; b < names.block_count(); ++b) {
    const NameBlock* p = names.block(b).get();
    const size_t end = b + 1 < names.block_count() ? names.block(b + 1).get()->first() : names.size();
    w.put_string(p->text());
    w.put<uint8_t>(p->is_batch() ? 1 : 0);
    w.put<uint64_t>(end - p->first());
  }
}

void read_names(Reader& r, VarNames& names) {
  const auto blocks = r.get<uint64_t>();
  for (uint64_t b = 0; b < blocks; ++b) {
    std::string text = r.get_string();
    const bool batch = r.get<uint8_t>() != 0;
    const auto count = r.get<uint64_t>();
    if (count == 0 || (!batch && count != 1) || count > UINT32_MAX - names.size()) damaged();
    names.add_block(std::move(text), batch, count);
  }
}

void write_variables(Writer& w, const std::vector<VarRecord>& vs) {
  w.put<uint64_t>(vs.size());
  for (const VarRecord& v : vs) w.put(static_cast<uint8_t>(v.kind));
  for (const VarRecord& v : vs) w.put(v.lower);
  for (const VarRecord& v : vs) w.put(v.upper);
}

std::vector<VarRecord> read_variables(Reader& r) {
  const std::vector<uint8_t> kinds = r.get_array<uint8_t>();
  std::vector<VarRecord> vs(kinds.size());
  for (size_t i = 0; i < vs.size(); ++i) {
    if (kinds[i] > 2) damaged();
    vs[i].index = static_cast<VarIndex>(i);
    vs[i].kind = static_cast<VarKind>(kinds[i]);
  }
  for (VarRecord& v : vs) v.lower = r.get<double>();
  for (VarRecord& v : vs) v.upper = r.get<double>();
  return vs;
}

// Linear rows as whole arrays: the per-row fields, then every index, then
// every coefficient.
// `owner` is written per row for readers of the same layout; stored rows
// all belong to the record that holds them.
void write_rows(Writer& w, const LinearRows& rows, ModelId owner) {
  const size_t nnz = rows.nonzeros();
  w.reserve(w.out.size() + rows.size() * 24 + nnz * 12 + 64);
  w.put<uint64_t>(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) w.put(static_cast<uint32_t>(rows.terms(r).size()));
  for (size_t r = 0; r < rows.size(); ++r) w.put(static_cast<uint8_t>(rows.sense(r)));
  for (size_t r = 0; r < rows.size(); ++r) w.put(rows.rhs(r));
  for (size_t r = 0; r < rows.size(); ++r) w.put(rows.terms(r).empty() ? kNoModel : owner);
  for (size_t r = 0; r < rows.size(); ++r) {
    const std::string* name = rows.name(r);
    write_optional_string(w, name ? std::optional<std::string>(*name) : std::nullopt);
  }
  w.put<uint64_t>(nnz);
  for (size_t r = 0; r < rows.size(); ++r)
    for (VarIndex i : rows.terms(r).indices()) w.put(i);
  for (size_t r = 0; r < rows.size(); ++r)
    for (double c : rows.terms(r).values()) w.put(c);
}

LinearRows read_rows(Reader& r) {
  const std::vector<uint32_t> lens = r.get_array<uint32_t>();
  const size_t n = lens.size();
  std::vector<Sense> sense(n);
  std::vector<double> rhs(n);
  std::vector<std::optional<std::string>> names(n);
  for (Sense& s : sense) s = read_sense(r);
  for (double& v : rhs) v = r.get<double>();
  for (size_t k = 0; k < n; ++k) r.get<ModelId>();  // the rows' owner: the record's own
  for (auto& name : names) name = read_optional_string(r);
  const std::vector<VarIndex> idx = r.get_array<VarIndex>();
  size_t total = 0;
  for (uint32_t len : lens) total += len;
  if (total != idx.size()) damaged();
  std::vector<double> coef(idx.size());
  for (double& c : coef) c = r.get<double>();
  LinearRows rows;
  rows.reserve(n, total);
  size_t at = 0;
  for (size_t k = 0; k < n; ++k) {
    rows.append(std::span<const VarIndex>(idx.data() + at, lens[k]), std::span<const double>(coef.data() + at, lens[k]), rhs[k], sense[k],
                std::move(names[k]));
    at += lens[k];
  }
  return rows;
}

void write_origins(Writer& w, const std::vector<ModelOrigin>& o) {
  w.put<uint64_t>(o.size());
  for (const ModelOrigin& x : o) {
    w.put(x.id);
    w.put(x.vars);
    w.put(x.next_row);
  }
}

std::vector<ModelOrigin> read_origins(Reader& r) {
  const auto n = r.get<uint64_t>();
  if (n > kMaxOrigins) damaged();
  std::vector<ModelOrigin> o(n);
  for (ModelOrigin& x : o) {
    x.id = r.get<ModelId>();
    x.vars = r.get<uint64_t>();
    x.next_row = r.get<uint64_t>();
  }
  return o;
}

void write_cones(Writer& w, const std::vector<std::vector<VarIndex>>& cones) {
  w.put<uint64_t>(cones.size());
  for (const auto& c : cones) w.put_array(std::span<const VarIndex>(c));
}

std::vector<std::vector<VarIndex>> read_cones(Reader& r) {
  const auto n = r.get<uint64_t>();
  std::vector<std::vector<VarIndex>> cones;
  for (uint64_t i = 0; i < n; ++i) cones.push_back(r.get_array<VarIndex>());
  return cones;
}

void write_objective(Writer& w, const std::optional<Objective>& o) {
  if (!o) {
    w.put<uint8_t>(0);
    return;
  }
  w.put<uint8_t>(static_cast<uint8_t>(o->index() + 1));
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Expr>) write_expr(w, v);
        else if constexpr (std::is_same_v<T, QuadExpr>) write_quad(w, v);
        else write_nl(w, v);
      },
      *o);
}

std::optional<Objective> read_objective(Reader& r) {
  switch (r.get<uint8_t>()) {
    case 0: return std::nullopt;
    case 1: return Objective(read_expr(r));
    case 2: return Objective(read_quad(r));
    case 3: return Objective(read_nl(r));
    default: damaged();
  }
}

void check_indices(const ModelData& m) {
  const size_t n = m.variables.size();
  const auto in_range = [n](size_t end) { return end <= n; };
  for (const LinearRow& c : m.constraints)
    if (!in_range(index_end(c.terms))) damaged();
  for (const auto& c : m.nl_constraints)
    if (!in_range(index_end(c.body))) damaged();
  for (const auto* list : {&m.soc_cones, &m.psd_cones})
    for (const auto& cone : *list)
      for (VarIndex v : cone)
        if (v >= n) damaged();
  if (m.objective) {
    const size_t end = std::visit([](const auto& v) { return index_end(v); }, *m.objective);
    if (!in_range(end)) damaged();
  }
}

void check_ids(const std::vector<uint64_t>& ids, size_t rows, uint64_t next) {
  if (ids.size() != rows) damaged();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] >= next || (i > 0 && ids[i] <= ids[i - 1])) damaged();
  }
}

}  // namespace

bool valid_utf8(const std::string& s) noexcept {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;  // the sequence runs past the end
    for (size_t k = 1; k <= n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

void write_expr(Writer& w, const Expr& e) {
  w.put(e.owner);
  w.put(e.constant);
  write_terms(w, e.terms);
}

Expr read_expr(Reader& r) {
  Expr e;
  e.owner = r.get<ModelId>();
  e.constant = r.get<double>();
  e.terms = read_terms(r);
  return e;
}

void write_quad(Writer& w, const QuadExpr& q) {
  write_expr(w, q.linear);
  w.put<uint64_t>(q.quad_terms.size());
  for (const QuadTerm& t : q.quad_terms) {
    w.put(t.i);
    w.put(t.j);
    w.put(t.coef);
  }
}

QuadExpr read_quad(Reader& r) {
  QuadExpr q;
  q.linear = read_expr(r);
  const auto n = r.get<uint64_t>();
  if (n > (1ull << 40)) damaged();
  for (uint64_t k = 0; k < n; ++k) {
    QuadTerm t;
    t.i = r.get<VarIndex>();
    t.j = r.get<VarIndex>();
    t.coef = r.get<double>();
    if (t.i > t.j) damaged();
    q.quad_terms.push_back(t);
  }
  return q;
}

void write_nl(Writer& w, const NlExpr& n) {
  write_expr(w, n.linear);
  // Distinct nodes, children before parents (explicit stack: trees may be deep).
  std::unordered_map<const NlNode*, uint32_t> number;
  std::vector<const NlNode*> order;
  for (const NlTerm& t : n.nl_terms) {
    std::vector<std::pair<const NlNode*, bool>> stack{{t.node.get(), false}};
    while (!stack.empty()) {
      auto [p, expanded] = stack.back();
      stack.pop_back();
      if (number.count(p)) continue;
      if (expanded) {
        number.emplace(p, static_cast<uint32_t>(order.size()));
        order.push_back(p);
        continue;
      }
      stack.push_back({p, true});
      if (p->b && !number.count(p->b.get())) stack.push_back({p->b.get(), false});
      if (p->a && !number.count(p->a.get())) stack.push_back({p->a.get(), false});
    }
  }
  w.put<uint64_t>(order.size());
  for (const NlNode* p : order) {
    w.put(static_cast<uint8_t>(p->kind));
    w.put(p->var);
    w.put(p->value);
    w.put<int64_t>(p->a ? static_cast<int64_t>(number.at(p->a.get())) : int64_t{-1});
    w.put<int64_t>(p->b ? static_cast<int64_t>(number.at(p->b.get())) : int64_t{-1});
  }
  w.put<uint64_t>(n.nl_terms.size());
  for (const NlTerm& t : n.nl_terms) {
    w.put(t.coef);
    w.put<uint64_t>(number.at(t.node.get()));
  }
}

NlExpr read_nl(Reader& r) {
  NlExpr n;
  n.linear = read_expr(r);
  const auto count = r.get<uint64_t>();
  if (count > (1ull << 40)) damaged();
  std::vector<NodePtr> nodes;
  const auto child = [&](int64_t k) -> NodePtr {
    if (k < 0) return nullptr;
    if (static_cast<uint64_t>(k) >= nodes.size()) damaged();
    return nodes[static_cast<size_t>(k)];
  };
  for (uint64_t k = 0; k < count; ++k) {
    auto node = std::make_shared<NlNode>();
    const auto kind = r.get<uint8_t>();
    if (kind > static_cast<uint8_t>(NlKind::Log)) damaged();
    node->kind = static_cast<NlKind>(kind);
    node->var = r.get<VarIndex>();
    node->value = r.get<double>();
    node->a = child(r.get<int64_t>());
    node->b = child(r.get<int64_t>());
    const bool binary = node->kind == NlKind::Add || node->kind == NlKind::Mul || node->kind == NlKind::Div;
    const bool leaf = node->kind == NlKind::Var || node->kind == NlKind::Const;
    if (leaf ? (node->a || node->b) : (!node->a || binary != static_cast<bool>(node->b))) damaged();
    nodes.push_back(std::move(node));
  }
  const auto terms = r.get<uint64_t>();
  for (uint64_t k = 0; k < terms; ++k) {
    const double coef = r.get<double>();
    const auto at = r.get<uint64_t>();
    if (at >= nodes.size()) damaged();
    n.nl_terms.push_back(NlTerm{coef, nodes[at]});
  }
  return n;
}

void write_constraint(Writer& w, const ConstraintRecord& c) {
  w.put<uint8_t>(static_cast<uint8_t>(c.index()));
  std::visit(
      [&](const auto& rec) {
        using T = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<T, LinearConstraint>) write_expr(w, rec.expr);
        else write_nl(w, rec.body);
        w.put(rec.rhs);
        w.put(static_cast<uint8_t>(rec.sense));
        write_optional_string(w, rec.name);
      },
      c);
}

namespace {
// The fields after the body, as write_constraint puts them.
template <class C>
C with_row_tail(Reader& r, C c) {
  c.rhs = r.get<double>();
  c.sense = read_sense(r);
  c.name = read_optional_string(r);
  return c;
}
}  // namespace

ConstraintRecord read_constraint(Reader& r) {
  const auto kind = r.get<uint8_t>();
  if (kind == 0) {
    LinearConstraint c;
    c.expr = read_expr(r);
    return with_row_tail(r, std::move(c));
  }
  if (kind != 1) damaged();
  NonlinearConstraint c;
  c.body = read_nl(r);
  return with_row_tail(r, std::move(c));
}

std::string write_model(const ModelData& m) {
  Writer w;
  w.put(kModelMagic);
  w.put_string(m.name);
  w.put(m.id);
  write_origins(w, m.origins);
  write_names(w, m.var_names);
  write_variables(w, m.variables);
  write_rows(w, m.constraints, m.id);
  w.put_array(std::span<const uint64_t>(m.row_ids));
  w.put<uint64_t>(m.nl_constraints.size());
  for (const NonlinearConstraint& c : m.nl_constraints) write_constraint(w, ConstraintRecord(c));
  w.put_array(std::span<const uint64_t>(m.nl_row_ids));
  w.put(m.next_row_id);
  write_cones(w, m.soc_cones);
  write_cones(w, m.psd_cones);
  write_objective(w, m.objective);
  w.put<uint8_t>(m.maximize ? 1 : 0);
  w.put<uint64_t>(m.fixed_bounds.size());
  for (const auto& [i, b] : m.fixed_bounds) {
    w.put(i);
    w.put(b.first);
    w.put(b.second);
  }
  return std::move(w.out);
}

ModelData read_model_data(std::span<const char> in) {
  Reader r(in);
  if (r.get<uint32_t>() != kModelMagic) damaged();
  ModelData m;
  init_identity(m);
  m.name = r.get_string();
  const ModelId written = r.get<ModelId>();
  m.origins = read_origins(r);
  read_names(r, m.var_names);
  m.variables = read_variables(r);
  if (m.variables.size() != m.var_names.size()) damaged();

  m.constraints = read_rows(r);
  m.row_ids = r.get_array<uint64_t>();
  const auto nl = r.get<uint64_t>();
  for (uint64_t k = 0; k < nl; ++k) {
    ConstraintRecord c = read_constraint(r);
    if (!std::holds_alternative<NonlinearConstraint>(c)) damaged();
    m.nl_constraints.push_back(std::move(std::get<NonlinearConstraint>(c)));
  }
  m.nl_row_ids = r.get_array<uint64_t>();
  m.next_row_id = r.get<uint64_t>();
  m.origins.push_back(ModelOrigin{written, m.variables.size(), m.next_row_id});
  if (m.origins.size() > kMaxOrigins) m.origins.erase(m.origins.begin());
  check_ids(m.row_ids, m.constraints.size(), m.next_row_id);
  check_ids(m.nl_row_ids, m.nl_constraints.size(), m.next_row_id);
  m.soc_cones = read_cones(r);
  m.psd_cones = read_cones(r);
  m.objective = read_objective(r);
  m.maximize = r.get<uint8_t>() != 0;
  const auto fixed = r.get<uint64_t>();
  for (uint64_t k = 0; k < fixed; ++k) {
    const auto i = r.get<VarIndex>();
    const double lo = r.get<double>(), hi = r.get<double>();
    if (i >= m.variables.size()) damaged();
    m.fixed_bounds.emplace(i, std::make_pair(lo, hi));
  }
  if (!r.done()) damaged();
  check_indices(m);
  return m;
}

namespace {

template <class T>
void write_optional(Writer& w, const std::optional<T>& v) {
  w.put<uint8_t>(v ? 1 : 0);
  if (v) w.put(*v);
}

template <class T>
std::optional<T> read_optional(Reader& r) {
  if (r.get<uint8_t>() == 0) return std::nullopt;
  return r.get<T>();
}

void write_optional_vector(Writer& w, const std::optional<std::vector<double>>& v) {
  w.put<uint8_t>(v ? 1 : 0);
  if (v) w.put_array(std::span<const double>(*v));
}

std::optional<std::vector<double>> read_optional_vector(Reader& r) {
  if (r.get<uint8_t>() == 0) return std::nullopt;
  return r.get_array<double>();
}

void write_pairs(Writer& w, const std::vector<std::pair<double, double>>& v) {
  w.put<uint64_t>(v.size());
  for (const auto& p : v) {
    w.put(p.first);
    w.put(p.second);
  }
}

std::vector<std::pair<double, double>> read_pairs(Reader& r) {
  const auto n = r.get<uint64_t>();
  std::vector<std::pair<double, double>> v;
  for (uint64_t k = 0; k < n; ++k) {
    const double a = r.get<double>();
    v.emplace_back(a, r.get<double>());
  }
  return v;
}

}  // namespace

std::string write_result(const ResultData& d) {
  Writer w;
  w.put(kResultMagic);
  w.put(static_cast<uint8_t>(d.status));
  write_optional(w, d.objective);
  w.put(d.solve_time);
  w.put_string(d.solver);
  write_optional(w, d.iterations);
  write_optional(w, d.nodes);
  write_optional(w, d.gap);
  write_optional_vector(w, d.primals);
  write_optional_vector(w, d.duals);
  w.put<uint8_t>(d.ranging ? 1 : 0);
  if (d.ranging) {
    write_pairs(w, d.ranging->cost);
    write_pairs(w, d.ranging->rhs);
  }
  w.put<uint8_t>(d.snapshot ? 1 : 0);
  if (d.snapshot) {
    const ModelSnapshot& s = *d.snapshot;
    w.put(s.model);
    write_origins(w, s.origins);
    write_names(w, s.var_names);
    write_variables(w, s.variables);
    write_rows(w, s.constraints, s.model);
    w.put_array(std::span<const uint64_t>(s.row_ids));
  }
  return std::move(w.out);
}

ResultData read_result(std::span<const char> in) {
  Reader r(in);
  if (r.get<uint32_t>() != kResultMagic) damaged();
  ResultData d;
  const auto status = r.get<uint8_t>();
  if (status > static_cast<uint8_t>(SolveStatus::Interrupted)) damaged();
  d.status = static_cast<SolveStatus>(status);
  d.objective = read_optional<double>(r);
  d.solve_time = r.get<double>();
  d.solver = r.get_string();
  d.iterations = read_optional<uint64_t>(r);
  d.nodes = read_optional<uint64_t>(r);
  d.gap = read_optional<double>(r);
  d.primals = read_optional_vector(r);
  d.duals = read_optional_vector(r);
  if (r.get<uint8_t>()) {
    LpRanging g;
    g.cost = read_pairs(r);
    g.rhs = read_pairs(r);
    d.ranging = std::move(g);
  }
  if (r.get<uint8_t>()) {
    auto s = std::make_shared<ModelSnapshot>();
    s->model = r.get<ModelId>();
    s->origins = read_origins(r);
    s->var_names.set_owner(s->model);
    read_names(r, s->var_names);
    s->variables = read_variables(r);
    if (s->variables.size() != s->var_names.size()) damaged();
    s->constraints = read_rows(r);
    s->row_ids = r.get_array<uint64_t>();
    if (!s->row_ids.empty() && s->row_ids.size() != s->constraints.size()) damaged();
    for (const LinearRow& c : s->constraints)
      if (index_end(c.terms) > s->variables.size()) damaged();
    d.snapshot = std::move(s);
  }
  if (d.primals && d.snapshot && !d.snapshot->variables.empty() &&
      d.primals->size() != d.snapshot->variables.size()) {
    damaged();
  }
  if (!r.done()) damaged();
  return d;
}

}  // namespace pelora
