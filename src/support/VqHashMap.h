#pragma once

#include <functional>
#include <memory>
#include <unordered_map>

// Hash map from keys to values; the hash is the key type's own.
template <class K, class V, class H = std::hash<K>, class Eq = std::equal_to<K>,
          class A = std::allocator<std::pair<const K, V>>>
class VqHashMap : public std::unordered_map<K, V, H, Eq, A> {
public:
    using std::unordered_map<K, V, H, Eq, A>::unordered_map;

    // The value of key, or null when absent.
    V* lookup(const K& key) {
        auto it = this->find(key);
        return it == this->end() ? nullptr : &it->second;
    }
    const V* lookup(const K& key) const {
        auto it = this->find(key);
        return it == this->end() ? nullptr : &it->second;
    }
    int numEntries() const { return static_cast<int>(this->size()); }
};
