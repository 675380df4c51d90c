#include "autograd/context.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "engine/storage_ops.hpp"

namespace quarn::autograd {

namespace {

// Summing a contribution back only pays off when it is actually larger than
// the node; one already of the node's shape is passed on as it is.
Result<Storage> to_own_shape(Storage g, const Shape& own) {
  if (g.shape() == own) return g;
  return engine::sum_to(g, own);
}

}  // namespace

std::size_t GradContext::bucket(std::size_t id) const {
  // Fibonacci hashing: ids of one pass are mostly close together, and the
  // multiplication spreads neighbours over the whole table.
  const auto h = static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ull;
  const int bits = std::countr_zero(buckets_.size());
  return bits == 0 ? 0 : static_cast<std::size_t>(h >> (64 - bits));
}

void GradContext::rehash(std::size_t count) {
  buckets_.assign(count, 0);
  const std::size_t mask = count - 1;
  for (std::size_t pos = 0; pos < slots_.size(); ++pos) {
    std::size_t b = bucket(slots_[pos].id);
    while (buckets_[b] != 0) b = (b + 1) & mask;
    buckets_[b] = pos + 1;
  }
}

std::optional<Storage>* GradContext::find(std::size_t id) {
  if (buckets_.empty()) return nullptr;
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t b = bucket(id); buckets_[b] != 0; b = (b + 1) & mask)
    if (slots_[buckets_[b] - 1].id == id) return &slots_[buckets_[b] - 1].grad;
  return nullptr;
}

std::optional<Storage>& GradContext::slot_for(std::size_t id) {
  if (std::optional<Storage>* found = find(id)) return *found;
  // Room everywhere before anything changes, so that a failed allocation
  // leaves the three lists agreeing with each other.
  if (slots_.size() == slots_.capacity()) slots_.reserve(std::max<std::size_t>(8, 2 * slots_.size()));
  if (pending_.size() == pending_.capacity()) pending_.reserve(std::max<std::size_t>(8, 2 * pending_.size()));
  if (2 * (slots_.size() + 1) > buckets_.size()) rehash(std::max<std::size_t>(16, 2 * buckets_.size()));
  slots_.push_back(Slot{id, std::nullopt});
  const std::size_t mask = buckets_.size() - 1;
  std::size_t b = bucket(id);
  while (buckets_[b] != 0) b = (b + 1) & mask;
  buckets_[b] = slots_.size();
  pending_.push_back(id);
  std::push_heap(pending_.begin(), pending_.end());
  return slots_.back().grad;
}

void GradContext::set(std::size_t id, Storage g) { slot_for(id) = std::move(g); }

std::optional<Storage> GradContext::take(std::size_t id) {
  std::optional<Storage> out;
  if (std::optional<Storage>* found = find(id)) out.swap(*found);
  return out;
}

std::optional<std::size_t> GradContext::next_below(std::size_t bound) {
  while (!pending_.empty()) {
    std::pop_heap(pending_.begin(), pending_.end());
    const std::size_t id = pending_.back();
    pending_.pop_back();
    if (id < bound) return id;
  }
  return std::nullopt;
}

Result<void> GradContext::accumulate(std::size_t id, Storage g) {
  auto& slot = slot_for(id);
  if (!slot) {
    slot = std::move(g);
    return {};
  }
  if (slot->shape() == g.shape() || id >= nodes_.size()) {
    QUARN_TRY(Storage sum, engine::add(*slot, g));
    slot = std::move(sum);
    return {};
  }
  // Each contribution is the true one once summed over the axes by which it
  // exceeds the node; adding two different broadcasts directly would stretch
  // the smaller one and count it again along every axis it lacks.
  const Shape& own = nodes_[id].own_shape;
  QUARN_TRY(Storage current, to_own_shape(*slot, own));
  QUARN_TRY(Storage incoming, to_own_shape(std::move(g), own));
  QUARN_TRY(Storage sum, engine::add(current, incoming));
  slot = std::move(sum);
  return {};
}

}  // namespace quarn::autograd
