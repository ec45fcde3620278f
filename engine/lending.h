// What belongs to the program rather than to one process: a JSON port's listening socket, a pair
// of web ports, the live configuration of a storage folder. The PipeWire host makes a new process
// while the one it replaces still runs, so the first process that asks for such a thing makes
// it, later ones on the same key borrow it, the newest holds it, and it goes with the last lease.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace engine {

// Holder: what each lease brings along (the process's backend, a wake-up descriptor), so that
// the thing knows whom to serve.
template <typename Key, typename Thing, typename Holder>
class Lending {
  struct Entry;

public:
  // Called under the lending's lock whenever the newest lease of a thing changes: was is the
  // holder that stopped being the newest (null for a thing just made), now the one that became
  // it (null once the last lease went).
  using NewestChanged = std::function<void(Thing&, const Holder* was, const Holder* now)>;

  explicit Lending(NewestChanged newest_changed = nullptr)
      : newest_changed_(std::move(newest_changed)) {}
  Lending(const Lending&) = delete;
  Lending& operator=(const Lending&) = delete;

  class Lease {
  public:
    ~Lease() { give_back(); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    Thing& operator*() const { return *thing_; }
    Thing* operator->() const { return thing_.get(); }
    const std::shared_ptr<Thing>& thing() const { return thing_; }

    // True while no later lease on the thing exists.
    bool newest() const {
      std::lock_guard<std::mutex> lock(lending_.mutex_);
      return !given_back_ && !entry_->leases.empty() && entry_->leases.back().first == this;
    }

    // The one way back. Answers the thing when this was its last lease, so that the caller ends
    // it (stops its threads) outside the lock; null otherwise and on a second call.
    std::shared_ptr<Thing> give_back() {
      std::lock_guard<std::mutex> lock(lending_.mutex_);
      if (given_back_) return nullptr;
      given_back_ = true;
      auto& leases = entry_->leases;
      auto it = std::find_if(leases.begin(), leases.end(),
                             [this](const auto& lease) { return lease.first == this; });
      const bool was_newest = std::next(it) == leases.end();
      Holder was = std::move(it->second);
      leases.erase(it);
      if (was_newest && lending_.newest_changed_)
        lending_.newest_changed_(*thing_, &was, leases.empty() ? nullptr : &leases.back().second);
      if (!leases.empty()) return nullptr;
      auto shared = lending_.things_.find(entry_->key);
      if (shared != lending_.things_.end() && shared->second == entry_)
        lending_.things_.erase(shared);
      return thing_;
    }

  private:
    friend class Lending;
    Lease(Lending& lending, std::shared_ptr<Entry> entry)
        : lending_(lending), entry_(std::move(entry)), thing_(entry_->thing) {}

    Lending& lending_;
    const std::shared_ptr<Entry> entry_;
    const std::shared_ptr<Thing> thing_;
    bool given_back_ = false;  // under the lending's lock
  };

  // A lease on the thing under key: borrowed from the processes that hold it, or made by make
  // when none does. Null when make answers null. *made tells which.
  std::unique_ptr<Lease> borrow(const Key& key, Holder holder,
                                const std::function<std::shared_ptr<Thing>()>& make,
                                bool* made = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = things_.find(key);
    if (made != nullptr) *made = found == things_.end();
    if (found == things_.end()) {
      std::shared_ptr<Thing> thing = make();
      if (!thing) return nullptr;
      found = things_.emplace(key, std::make_shared<Entry>(key, std::move(thing))).first;
    }
    return add_lease(found->second, std::move(holder));
  }

  // A lease on a thing nobody else may borrow (a server for a host elsewhere, one that could
  // not listen), given back the same way.
  std::unique_ptr<Lease> lend_alone(Holder holder, std::shared_ptr<Thing> thing) {
    std::lock_guard<std::mutex> lock(mutex_);
    return add_lease(std::make_shared<Entry>(Key{}, std::move(thing)), std::move(holder));
  }

private:
  struct Entry {
    Entry(Key k, std::shared_ptr<Thing> t) : key(std::move(k)), thing(std::move(t)) {}
    const Key key;
    const std::shared_ptr<Thing> thing;
    std::vector<std::pair<const Lease*, Holder>> leases;  // oldest first
  };

  std::unique_ptr<Lease> add_lease(const std::shared_ptr<Entry>& entry, Holder holder) {
    std::unique_ptr<Lease> lease(new Lease(*this, entry));
    auto& leases = entry->leases;
    leases.emplace_back(lease.get(), std::move(holder));
    if (newest_changed_)
      newest_changed_(*entry->thing,
                      leases.size() > 1 ? &leases[leases.size() - 2].second : nullptr,
                      &leases.back().second);
    return lease;
  }

  const NewestChanged newest_changed_;
  mutable std::mutex mutex_;  // guards things_ and every entry's leases
  std::map<Key, std::shared_ptr<Entry>> things_;
};

}  // namespace engine
