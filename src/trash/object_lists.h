// Equality and hashing of the model's shared object lists, where an absent list (null) is
// not the same as an empty one: it equals no list, not even another absent one, and hashes
// to 0.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace quillon {

template <typename T>
using SharedList = std::vector<std::shared_ptr<T>>;

// Same length and, at each position, the same object or equal objects.
template <typename T>
bool listsEqual(const std::shared_ptr<SharedList<T>> &a, const std::shared_ptr<SharedList<T>> &b) {
    if (!a || !b) return false;
    if (a == b) return true;
    if (a->size() != b->size()) return false;
    for (size_t i = 0; i < a->size(); i++)
        if ((*a)[i] != (*b)[i] && !(*(*a)[i] == *(*b)[i])) return false;
    return true;
}

template <typename T>
size_t listHash(const std::shared_ptr<SharedList<T>> &list) {
    if (!list) return 0;
    size_t hash = list->size();
    for (const auto &element : *list) hash = hash * 31 + element->hash();
    return hash;
}

}  // namespace quillon
