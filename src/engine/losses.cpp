// The losses of quarn.nn.functional beyond the mean cross-entropy and mean
// squared error of loss.cpp: class losses with weights, ignored targets,
// label smoothing and probability targets, and the element-wise losses,
// each with its three reductions.
//
// A class loss is written as one form for all its variants: row i's loss is
// -sum_c A[i, c] * logp[i, c], with A the target's coefficients (the class
// weight at the target, the spread of label smoothing, probabilities,
// 0 for an ignored row, the mean's divisor folded in). Its gradient on the
// logits is g_i * (softmax[i, c] * sum_c A[i, c] - A[i, c]), on
// log-probabilities -g_i * A[i, c].
#include <cmath>
#include <limits>
#include <optional>

#include "engine/elementwise/kernel_table.hpp"
#include "engine/f32_layout.hpp"
#include "engine/nn_ops.hpp"
#include "runtime/blocking.hpp"

namespace quarn::engine {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Binary32 rows of a storage: its own memory when it is dense binary32,
// else a copy (half formats widened once).
const float* f32_rows(const Storage& s, std::vector<float>& copy) {
  if (s.dtype() == DType::F32 && s.strides() == row_major_strides(s.shape())) return s.data_as<float>();
  copy = f32_of(s);
  return copy.data();
}

// The coefficients A of every row (see above), one row at a time: for index
// targets a spike at the target plus, with label smoothing, the weights'
// spread; for probability targets a dense row.
class Coefficients {
 public:
  Coefficients(const ClassLoss& spec, std::size_t rows, std::size_t classes)
      : spec_(spec), classes_(classes), w_(classes, 1.0f) {
    if (spec.weight != nullptr) w_ = f32_of(*spec.weight);
    spread_ = spec.smoothing / static_cast<float>(classes);
    double divisor = static_cast<double>(rows);
    if (spec.labels != nullptr) {
      divisor = 0.0;
      for (std::int64_t y : *spec.labels)
        if (y != spec.ignore_index) divisor += w_[static_cast<std::size_t>(y)];
    } else {
      t_ = f32_of(*spec.probabilities);
    }
    // As PyTorch: the mean divides by the summed weights of the targets
    // (a 0/0 NaN when every row is ignored), by N for probabilities.
    scale_ = spec.reduction == Reduction::kMean ? static_cast<float>(1.0 / divisor) : 1.0f;
  }

  // Whether row i's coefficients are its target's alone (at `target`, of
  // `value`); otherwise row() gives them densely.
  bool spike(std::size_t i, std::size_t* target, float* value) const {
    if (spec_.labels == nullptr || spread_ != 0.0f) return false;
    const std::int64_t y = (*spec_.labels)[i];
    if (y == spec_.ignore_index) {
      *target = 0;
      *value = 0.0f;
      return true;
    }
    *target = static_cast<std::size_t>(y);
    *value = (1.0f - spec_.smoothing) * w_[*target] * scale_;
    return true;
  }

  void row(std::size_t i, float* a) const {
    if (spec_.labels != nullptr) {
      const std::int64_t y = (*spec_.labels)[i];
      if (y == spec_.ignore_index) {
        std::fill(a, a + classes_, 0.0f);
        return;
      }
      for (std::size_t c = 0; c < classes_; ++c) a[c] = spread_ * w_[c] * scale_;
      a[static_cast<std::size_t>(y)] += (1.0f - spec_.smoothing) * w_[static_cast<std::size_t>(y)] * scale_;
      return;
    }
    const float* t = t_.data() + i * classes_;
    for (std::size_t c = 0; c < classes_; ++c) a[c] = ((1.0f - spec_.smoothing) * t[c] + spread_) * w_[c] * scale_;
  }

  const std::vector<float>& weights() const { return w_; }
  // The mean over no weight at all (every row ignored): NaN, as 0/0.
  bool empty_mean() const { return spec_.reduction == Reduction::kMean && std::isinf(scale_); }

 private:
  const ClassLoss& spec_;
  std::size_t classes_;
  std::vector<float> w_, t_;
  float spread_ = 0.0f, scale_ = 1.0f;
};

// One row's log-softmax into `logp` (shifted by the maximum; e^logp left in
// `p` when it is not null), through the vectorised exponential.
void log_softmax_row(const float* x, std::size_t n, float* logp, float* p, float* scratch) {
  float m = -std::numeric_limits<float>::infinity();
  for (std::size_t c = 0; c < n; ++c)
    if (x[c] > m || x[c] != x[c]) m = x[c];
  for (std::size_t c = 0; c < n; ++c) logp[c] = x[c] - m;
  auto exp_run = elementwise::unary_kernel(elementwise::kExp, DType::F32);
  exp_run(reinterpret_cast<char*>(scratch), reinterpret_cast<const char*>(logp), 1, n);
  double s = 0.0;
  for (std::size_t c = 0; c < n; ++c) s += scratch[c];
  const auto lse = static_cast<float>(std::log(s));
  for (std::size_t c = 0; c < n; ++c) logp[c] -= lse;
  if (p != nullptr) exp_run(reinterpret_cast<char*>(p), reinterpret_cast<const char*>(logp), 1, n);
}

Storage reduced(DType dtype, Reduction reduction, const Shape& shape, std::vector<float>& per_element) {
  if (reduction == Reduction::kNone) return rounded_storage(dtype, shape, per_element.data());
  double total = 0.0;
  for (float l : per_element) total += l;
  float r = static_cast<float>(total);
  if (reduction == Reduction::kMean)
    r = per_element.empty() ? kNaN : static_cast<float>(total / static_cast<double>(per_element.size()));
  return rounded_storage(dtype, Shape{}, &r);
}

// A storage of `dtype` and `shape` whose binary32 values are written at
// `values()`: its own memory for binary32, a scratch row rounded once by
// finish() otherwise.
class Output {
 public:
  Output(DType dtype, const Shape& shape) : out_(Storage::allocate_row_major(dtype, shape)) {
    if (dtype != DType::F32) wide_.resize(out_.numel());
  }
  float* values() { return wide_.empty() ? out_.mutable_data_as<float>() : wide_.data(); }
  Storage finish() {
    if (!wide_.empty()) round_from_f32(out_.dtype(), wide_.data(), out_.mutable_data(), out_.numel());
    return std::move(out_);
  }

 private:
  Storage out_;
  std::vector<float> wide_;
};

}  // namespace

Storage class_loss(const Storage& scores, const ClassLoss& spec) {
  LongWork guard(scores.numel());
  const std::size_t rows = scores.shape()[0], classes = scores.shape()[1];
  std::vector<float> copy;
  const float* x = f32_rows(scores, copy);
  const Coefficients coefficients(spec, rows, classes);
  std::vector<float> logp(classes), a(classes), scratch(classes), per_row(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    const float* xi = x + i * classes;
    std::size_t target = 0;
    float value = 0.0f;
    const bool spike = coefficients.spike(i, &target, &value);
    if (spike && (value == 0.0f || !spec.from_logits)) {  // nothing else to read
      per_row[i] = value == 0.0f ? 0.0f : -value * xi[target];
      continue;
    }
    const float* lp = xi;
    if (spec.from_logits) {
      log_softmax_row(xi, classes, logp.data(), nullptr, scratch.data());
      lp = logp.data();
    }
    if (spike) {
      per_row[i] = -value * lp[target];
      continue;
    }
    coefficients.row(i, a.data());
    double s = 0.0;
    // A zero coefficient adds nothing, even against a log-probability of
    // -inf (a class the scores rule out).
    for (std::size_t c = 0; c < classes; ++c)
      if (a[c] != 0.0f) s -= static_cast<double>(a[c]) * lp[c];
    per_row[i] = static_cast<float>(s);
  }
  if (spec.reduction == Reduction::kNone) return rounded_storage(scores.dtype(), Shape{rows}, per_row.data());
  // The mean is folded into the coefficients: both reductions sum here.
  double total = 0.0;
  for (float l : per_row) total += l;
  float r = static_cast<float>(total);
  if (coefficients.empty_mean() || (spec.reduction == Reduction::kMean && rows == 0)) r = kNaN;
  return rounded_storage(scores.dtype(), Shape{}, &r);
}

std::pair<Storage, Storage> class_loss_backward(const Storage& scores, const ClassLoss& spec, const Storage& g,
                                                bool want_targets) {
  LongWork guard(scores.numel());
  const std::size_t rows = scores.shape()[0], classes = scores.shape()[1];
  std::vector<float> copy;
  const float* x = f32_rows(scores, copy);
  const Coefficients coefficients(spec, rows, classes);
  // One g per row: its own for "none", the one element of a reduced loss
  // otherwise (the mean's divisor is in the coefficients already).
  std::vector<float> gs = f32_of(g);
  if (spec.reduction != Reduction::kNone) gs.assign(rows, gs.empty() ? 0.0f : gs[0]);
  Output dx(scores.dtype(), scores.shape());
  std::optional<Output> dt;
  if (want_targets && spec.probabilities != nullptr) dt.emplace(spec.probabilities->dtype(), scores.shape());
  std::vector<float> logp(classes), p(classes), a(classes), scratch(classes);
  // d/dt[i, c] = -(1 - smoothing) w[c] logp[i, c] (over N for the mean).
  const float target_scale =
      (1.0f - spec.smoothing) / (spec.reduction == Reduction::kMean ? static_cast<float>(rows) : 1.0f);
  for (std::size_t i = 0; i < rows; ++i) {
    const float* xi = x + i * classes;
    float* di = dx.values() + i * classes;
    std::size_t target = 0;
    float value = 0.0f;
    const bool spike = coefficients.spike(i, &target, &value);
    if (spike && (value == 0.0f || !spec.from_logits)) {
      std::fill(di, di + classes, 0.0f);
      di[target] = -gs[i] * value;
      continue;
    }
    if (!spike) coefficients.row(i, a.data());
    if (!spec.from_logits) {
      for (std::size_t c = 0; c < classes; ++c) di[c] = -gs[i] * a[c];
      continue;
    }
    log_softmax_row(xi, classes, logp.data(), p.data(), scratch.data());
    if (spike) {
      const float k = gs[i] * value;
      for (std::size_t c = 0; c < classes; ++c) di[c] = k * p[c];
      di[target] -= k;
    } else {
      double total = 0.0;
      for (std::size_t c = 0; c < classes; ++c) total += a[c];
      const auto s = static_cast<float>(total);
      for (std::size_t c = 0; c < classes; ++c) di[c] = gs[i] * (p[c] * s - a[c]);
    }
    if (dt) {
      const std::vector<float>& w = coefficients.weights();
      float* ti = dt->values() + i * classes;
      for (std::size_t c = 0; c < classes; ++c) ti[c] = -gs[i] * target_scale * w[c] * logp[c];
    }
  }
  return {dx.finish(), dt ? dt->finish() : Storage()};
}

namespace {

float softplus_neg(float x) {  // log(1 + e^-x), stable for either sign
  return std::log1p(std::exp(-std::fabs(x))) + std::max(-x, 0.0f);
}

float sign_of(float d) { return d > 0.0f ? 1.0f : d < 0.0f ? -1.0f : d; }

// One element's loss, the kind a template argument so that each kind's
// loop is compiled on its own (and vectorised where it calls no library
// function).
template <PointLoss K>
float loss_of(float param, float x, float y, float pw) {
  const float d = x - y;
  if constexpr (K == PointLoss::kSquared) return d * d;
  if constexpr (K == PointLoss::kAbsolute) return std::fabs(d);
  if constexpr (K == PointLoss::kSmoothL1)
    return std::fabs(d) < param ? 0.5f * d * d / param : std::fabs(d) - 0.5f * param;
  if constexpr (K == PointLoss::kHuber)
    return std::fabs(d) < param ? 0.5f * d * d : param * (std::fabs(d) - 0.5f * param);
  // PyTorch clamps each logarithm at -100, so 0 and 1 give finite losses.
  if constexpr (K == PointLoss::kBce)
    return (y - 1.0f) * std::max(std::log1p(-x), -100.0f) - y * std::max(std::log(x), -100.0f);
  if constexpr (K == PointLoss::kBceLogits) return (1.0f - y) * x + (1.0f + (pw - 1.0f) * y) * softplus_neg(x);
  return kNaN;
}

// d loss / d prediction and d loss / d target of one element.
template <PointLoss K>
std::pair<float, float> slopes_of(float param, float x, float y, float pw) {
  const float d = x - y;
  float dx = 0.0f;
  if constexpr (K == PointLoss::kSquared) dx = 2.0f * d;
  if constexpr (K == PointLoss::kAbsolute) dx = sign_of(d);
  if constexpr (K == PointLoss::kSmoothL1)
    dx = d < -param ? -1.0f : d > param ? 1.0f : param == 0.0f ? sign_of(d) : d / param;
  if constexpr (K == PointLoss::kHuber) dx = d < -param ? -param : d > param ? param : d;
  // PyTorch's slopes: its guard keeps the prediction's finite at p = 0
  // and p = 1; the target's is -logit(p), unclamped (infinite there).
  if constexpr (K == PointLoss::kBce)
    return {(x - y) / std::max((1.0f - x) * x, 1e-12f), std::log1p(-x) - std::log(x)};
  if constexpr (K == PointLoss::kBceLogits) {
    const float sig_neg = 1.0f / (1.0f + std::exp(x));  // sigmoid(-x), 0 or 1 at the extremes, never NaN
    return {(1.0f - y) - (1.0f + (pw - 1.0f) * y) * sig_neg, -x + (pw - 1.0f) * softplus_neg(x)};
  }
  return {dx, -dx};
}

// The operands in binary32 (dense binary32 ones read in place) and the
// weights broadcast to the prediction's shape (empty when absent).
struct Operands {
  std::vector<float> x_copy, y_copy, w, pw;
  const float* x = nullptr;
  const float* y = nullptr;
  std::size_t n = 0;
};

Result<Operands> operands_of(const Storage& pred, const Storage& target, const PointSpec& spec) {
  Operands o;
  o.x = f32_rows(pred, o.x_copy);
  o.y = f32_rows(target, o.y_copy);
  o.n = pred.numel();
  if (spec.weight != nullptr) {
    QUARN_TRY(View w, expand_to(*spec.weight, pred.shape(), "weight"));
    o.w = f32_of(w);
  }
  if (spec.pos_weight != nullptr) {
    QUARN_TRY(View pw, expand_to(*spec.pos_weight, pred.shape(), "pos_weight"));
    o.pw = f32_of(pw);
  }
  return o;
}

template <PointLoss K>
void losses_into(const Operands& o, float param, float* out) {
  const float* pw = o.pw.empty() ? nullptr : o.pw.data();
  for (std::size_t i = 0; i < o.n; ++i) out[i] = loss_of<K>(param, o.x[i], o.y[i], pw == nullptr ? 1.0f : pw[i]);
  if (!o.w.empty())
    for (std::size_t i = 0; i < o.n; ++i) out[i] *= o.w[i];
}

// g (one per element) times each slope, into dx and dy (either may be null).
template <PointLoss K>
void slopes_into(const Operands& o, float param, const float* g, float g_all, float* dx, float* dy) {
  const float* pw = o.pw.empty() ? nullptr : o.pw.data();
  for (std::size_t i = 0; i < o.n; ++i) {
    auto [sx, sy] = slopes_of<K>(param, o.x[i], o.y[i], pw == nullptr ? 1.0f : pw[i]);
    float gi = g == nullptr ? g_all : g[i];
    if (!o.w.empty()) gi *= o.w[i];
    if (dx != nullptr) dx[i] = gi * sx;
    if (dy != nullptr) dy[i] = gi * sy;
  }
}

#define QUARN_POINT_KINDS(CALL)                                       \
  switch (spec.kind) {                                               \
    case PointLoss::kSquared: CALL(PointLoss::kSquared); break;       \
    case PointLoss::kAbsolute: CALL(PointLoss::kAbsolute); break;     \
    case PointLoss::kSmoothL1: CALL(PointLoss::kSmoothL1); break;     \
    case PointLoss::kHuber: CALL(PointLoss::kHuber); break;           \
    case PointLoss::kBce: CALL(PointLoss::kBce); break;               \
    case PointLoss::kBceLogits: CALL(PointLoss::kBceLogits); break;   \
  }

}  // namespace

Result<Storage> point_loss(const Storage& pred, const Storage& target, const PointSpec& spec) {
  LongWork guard(pred.numel());
  QUARN_TRY(Operands o, operands_of(pred, target, spec));
  if (spec.kind == PointLoss::kBce)
    for (std::size_t i = 0; i < o.n; ++i)
      if (!(o.x[i] >= 0.0f && o.x[i] <= 1.0f)) return runtime_error("all elements of input should be between 0 and 1");
  std::vector<float> per(o.n);
#define QUARN_LOSSES_INTO(K) losses_into<K>(o, spec.param, per.data())
  QUARN_POINT_KINDS(QUARN_LOSSES_INTO)
#undef QUARN_LOSSES_INTO
  return reduced(pred.dtype(), spec.reduction, pred.shape(), per);
}

Result<std::pair<Storage, Storage>> point_loss_backward(const Storage& pred, const Storage& target,
                                                        const PointSpec& spec, const Storage& g, Needs needs) {
  LongWork guard(pred.numel());
  QUARN_TRY(Operands o, operands_of(pred, target, spec));
  std::vector<float> gs = f32_of(g);
  const float* g_each = spec.reduction == Reduction::kNone ? gs.data() : nullptr;
  float g_all = gs.empty() ? 0.0f : gs[0];
  if (spec.reduction == Reduction::kMean) g_all /= static_cast<float>(o.n);
  std::optional<Output> dx, dy;
  if (needs.left) dx.emplace(pred.dtype(), pred.shape());
  if (needs.right) dy.emplace(target.dtype(), target.shape());
  float* dx_values = dx ? dx->values() : nullptr;
  float* dy_values = dy ? dy->values() : nullptr;
#define QUARN_SLOPES_INTO(K) slopes_into<K>(o, spec.param, g_each, g_all, dx_values, dy_values)
  QUARN_POINT_KINDS(QUARN_SLOPES_INTO)
#undef QUARN_SLOPES_INTO
  return std::pair<Storage, Storage>(dx ? dx->finish() : Storage(), dy ? dy->finish() : Storage());
}

}  // namespace quarn::engine
