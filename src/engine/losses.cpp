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

#include "engine/f32_layout.hpp"
#include "engine/nn_ops.hpp"
#include "runtime/blocking.hpp"

namespace quarn::engine {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Each row's coefficients A (see above), row-major [N, C].
std::vector<float> coefficients(const ClassLoss& spec, std::size_t rows, std::size_t classes) {
  std::vector<float> w(classes, 1.0f);
  if (spec.weight != nullptr) w = f32_of(*spec.weight);
  std::vector<float> a(rows * classes, 0.0f);
  const float spread = spec.smoothing / static_cast<float>(classes);
  double divisor = static_cast<double>(rows);
  if (spec.labels != nullptr) {
    divisor = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      const std::int64_t y = (*spec.labels)[i];
      if (y == spec.ignore_index) continue;
      float* row = a.data() + i * classes;
      divisor += w[static_cast<std::size_t>(y)];
      if (spread != 0.0f)
        for (std::size_t c = 0; c < classes; ++c) row[c] = spread * w[c];
      row[static_cast<std::size_t>(y)] += (1.0f - spec.smoothing) * w[static_cast<std::size_t>(y)];
    }
  } else {
    const std::vector<float> t = f32_of(*spec.probabilities);
    for (std::size_t k = 0; k < a.size(); ++k)
      a[k] = ((1.0f - spec.smoothing) * t[k] + spread) * w[k % classes];
  }
  // As PyTorch: the mean divides by the summed weights of the targets
  // (a 0/0 NaN when every row is ignored), by N for probabilities.
  if (spec.reduction == Reduction::kMean) {
    const auto inverse = static_cast<float>(1.0 / divisor);
    for (float& v : a) v *= inverse;
  }
  return a;
}

// Each row's log-probabilities: the scores themselves for nll_loss, their
// log-softmax for cross_entropy; `p` gets the softmax when asked.
void log_probabilities(std::vector<float>& x, std::size_t rows, std::size_t classes, bool from_logits,
                       std::vector<float>* p) {
  if (!from_logits) return;
  if (p != nullptr) p->resize(x.size());
  for (std::size_t i = 0; i < rows; ++i) {
    float* row = x.data() + i * classes;
    float m = -std::numeric_limits<float>::infinity();
    for (std::size_t c = 0; c < classes; ++c)
      if (row[c] > m || row[c] != row[c]) m = row[c];
    double s = 0.0;
    for (std::size_t c = 0; c < classes; ++c) s += std::exp(row[c] - m);
    const float lse = m + static_cast<float>(std::log(s));
    for (std::size_t c = 0; c < classes; ++c) {
      row[c] -= lse;
      if (p != nullptr) (*p)[i * classes + c] = std::exp(row[c]);
    }
  }
}

Storage reduced(DType dtype, Reduction reduction, const Shape& shape, const std::vector<double>& per_element) {
  if (reduction == Reduction::kNone) {
    std::vector<float> v(per_element.begin(), per_element.end());
    return rounded_storage(dtype, shape, v.data());
  }
  double total = 0.0;
  for (double l : per_element) total += l;
  float r = static_cast<float>(total);
  if (reduction == Reduction::kMean)
    r = per_element.empty() ? kNaN : static_cast<float>(total / static_cast<double>(per_element.size()));
  return rounded_storage(dtype, Shape{}, &r);
}

// g as one value per element: the one element of a reduced loss (divided by
// n for the mean), g's own for "none".
std::vector<float> per_element_gradient(const Storage& g, Reduction reduction, std::size_t n, bool mean_divides) {
  std::vector<float> gs = f32_of(g);
  if (reduction == Reduction::kNone) return gs;
  float v = gs.empty() ? 0.0f : gs[0];
  if (reduction == Reduction::kMean && mean_divides) v /= static_cast<float>(n);
  return std::vector<float>(n, v);
}

}  // namespace

Storage class_loss(const Storage& scores, const ClassLoss& spec) {
  LongWork guard(scores.numel());
  const std::size_t rows = scores.shape()[0], classes = scores.shape()[1];
  std::vector<float> x = f32_of(scores);
  log_probabilities(x, rows, classes, spec.from_logits, nullptr);
  const std::vector<float> a = coefficients(spec, rows, classes);
  std::vector<double> per_row(rows, 0.0);
  for (std::size_t i = 0; i < rows; ++i) {
    double s = 0.0;
    // A zero coefficient adds nothing, even against a log-probability of
    // -inf (a class the scores rule out).
    for (std::size_t c = 0; c < classes; ++c)
      if (a[i * classes + c] != 0.0f) s -= static_cast<double>(a[i * classes + c]) * x[i * classes + c];
    per_row[i] = s;
  }
  if (spec.reduction == Reduction::kNone) {
    std::vector<float> v(per_row.begin(), per_row.end());
    return rounded_storage(scores.dtype(), Shape{rows}, v.data());
  }
  // The mean is folded into the coefficients: both reductions sum here.
  double total = 0.0;
  for (double l : per_row) total += l;
  float r = static_cast<float>(total);
  if (spec.reduction == Reduction::kMean && rows == 0) r = kNaN;
  return rounded_storage(scores.dtype(), Shape{}, &r);
}

std::pair<Storage, Storage> class_loss_backward(const Storage& scores, const ClassLoss& spec, const Storage& g,
                                                bool want_targets) {
  LongWork guard(scores.numel());
  const std::size_t rows = scores.shape()[0], classes = scores.shape()[1];
  std::vector<float> x = f32_of(scores);
  std::vector<float> p;
  log_probabilities(x, rows, classes, spec.from_logits, &p);
  const std::vector<float> a = coefficients(spec, rows, classes);
  const std::vector<float> gs = per_element_gradient(g, spec.reduction, rows, false);
  std::vector<float> dx(x.size()), dt;
  for (std::size_t i = 0; i < rows; ++i) {
    const float* ai = a.data() + i * classes;
    float* di = dx.data() + i * classes;
    if (!spec.from_logits) {
      for (std::size_t c = 0; c < classes; ++c) di[c] = -gs[i] * ai[c];
      continue;
    }
    double total = 0.0;
    for (std::size_t c = 0; c < classes; ++c) total += ai[c];
    const auto s = static_cast<float>(total);
    for (std::size_t c = 0; c < classes; ++c) di[c] = gs[i] * (p[i * classes + c] * s - ai[c]);
  }
  Storage target_grad;
  if (want_targets && spec.probabilities != nullptr) {
    // d/dt[i, c] = -(1 - smoothing) w[c] logp[i, c] (over N for the mean).
    std::vector<float> w(classes, 1.0f);
    if (spec.weight != nullptr) w = f32_of(*spec.weight);
    float scale = 1.0f - spec.smoothing;
    if (spec.reduction == Reduction::kMean) scale /= static_cast<float>(rows);
    dt.resize(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) dt[k] = -gs[k / classes] * scale * w[k % classes] * x[k];
    target_grad = rounded_storage(spec.probabilities->dtype(), scores.shape(), dt.data());
  }
  return {rounded_storage(scores.dtype(), scores.shape(), dx.data()), std::move(target_grad)};
}

namespace {

float softplus_neg(float x) {  // log(1 + e^-x), stable for either sign
  return std::log1p(std::exp(-std::fabs(x))) + std::max(-x, 0.0f);
}

float sign_of(float d) { return d > 0.0f ? 1.0f : d < 0.0f ? -1.0f : d; }

// One element's loss.
float loss_of(const PointSpec& s, float x, float y, float pw) {
  const float d = x - y;
  switch (s.kind) {
    case PointLoss::kSquared:
      return d * d;
    case PointLoss::kAbsolute:
      return std::fabs(d);
    case PointLoss::kSmoothL1:
      return std::fabs(d) < s.param ? 0.5f * d * d / s.param : std::fabs(d) - 0.5f * s.param;
    case PointLoss::kHuber:
      return std::fabs(d) < s.param ? 0.5f * d * d : s.param * (std::fabs(d) - 0.5f * s.param);
    case PointLoss::kBce:
      // PyTorch clamps each logarithm at -100, so 0 and 1 give finite losses.
      return (y - 1.0f) * std::max(std::log1p(-x), -100.0f) - y * std::max(std::log(x), -100.0f);
    case PointLoss::kBceLogits:
      return (1.0f - y) * x + (1.0f + (pw - 1.0f) * y) * softplus_neg(x);
  }
  return kNaN;
}

// d loss / d prediction and d loss / d target of one element.
std::pair<float, float> slopes_of(const PointSpec& s, float x, float y, float pw) {
  const float d = x - y;
  float dx = 0.0f;
  switch (s.kind) {
    case PointLoss::kSquared:
      dx = 2.0f * d;
      break;
    case PointLoss::kAbsolute:
      dx = sign_of(d);
      break;
    case PointLoss::kSmoothL1:
      dx = d < -s.param ? -1.0f : d > s.param ? 1.0f : s.param == 0.0f ? sign_of(d) : d / s.param;
      break;
    case PointLoss::kHuber:
      dx = d < -s.param ? -s.param : d > s.param ? s.param : d;
      break;
    case PointLoss::kBce:
      // PyTorch's slopes: its guard keeps the prediction's finite at p = 0
      // and p = 1; the target's is -logit(p), unclamped (infinite there).
      return {(x - y) / std::max((1.0f - x) * x, 1e-12f), std::log1p(-x) - std::log(x)};
    case PointLoss::kBceLogits: {
      const float sig_neg = 1.0f / (1.0f + std::exp(x));  // sigmoid(-x), 0 or 1 at the extremes, never NaN
      return {(1.0f - y) - (1.0f + (pw - 1.0f) * y) * sig_neg, -x + (pw - 1.0f) * softplus_neg(x)};
    }
  }
  return {dx, -dx};
}

struct Operands {
  std::vector<float> x, y, w, pw;
};

Result<Operands> operands_of(const Storage& pred, const Storage& target, const PointSpec& spec) {
  Operands o;
  o.x = f32_of(pred);
  o.y = f32_of(target);
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

}  // namespace

Result<Storage> point_loss(const Storage& pred, const Storage& target, const PointSpec& spec) {
  LongWork guard(pred.numel());
  QUARN_TRY(Operands o, operands_of(pred, target, spec));
  if (spec.kind == PointLoss::kBce)
    for (float x : o.x)
      if (!(x >= 0.0f && x <= 1.0f)) return runtime_error("all elements of input should be between 0 and 1");
  std::vector<double> per(o.x.size());
  for (std::size_t i = 0; i < per.size(); ++i) {
    float l = loss_of(spec, o.x[i], o.y[i], o.pw.empty() ? 1.0f : o.pw[i]);
    if (!o.w.empty()) l *= o.w[i];
    per[i] = l;
  }
  return reduced(pred.dtype(), spec.reduction, pred.shape(), per);
}

Result<std::pair<Storage, Storage>> point_loss_backward(const Storage& pred, const Storage& target,
                                                        const PointSpec& spec, const Storage& g, Needs needs) {
  LongWork guard(pred.numel());
  QUARN_TRY(Operands o, operands_of(pred, target, spec));
  const std::vector<float> gs = per_element_gradient(g, spec.reduction, o.x.size(), true);
  std::vector<float> dx(o.x.size()), dy(o.x.size());
  for (std::size_t i = 0; i < o.x.size(); ++i) {
    auto [sx, sy] = slopes_of(spec, o.x[i], o.y[i], o.pw.empty() ? 1.0f : o.pw[i]);
    const float gi = o.w.empty() ? gs[i] : gs[i] * o.w[i];
    dx[i] = gi * sx;
    dy[i] = gi * sy;
  }
  Storage left, right;
  if (needs.left) left = rounded_storage(pred.dtype(), pred.shape(), dx.data());
  if (needs.right) right = rounded_storage(target.dtype(), target.shape(), dy.data());
  return std::pair<Storage, Storage>(std::move(left), std::move(right));
}

}  // namespace quarn::engine
