// The objects behind one kind of handle. A handle is its object's address and is open while the
// object is in the table; any thread may look one up.
#pragma once

#include <mutex>
#include <set>

namespace winsim {

template <typename Object> class HandleTable {
  public:
    void Add(Object* object) {
        std::lock_guard guard(lock_);
        objects_.insert(object);
    }

    // The object behind handle, or nullptr when handle is none of this table's.
    Object* Find(void* handle) {
        std::lock_guard guard(lock_);
        auto found = objects_.find(static_cast<Object*>(handle));
        return found != objects_.end() ? *found : nullptr;
    }

    // Takes the object out of the table, which closes its handle; nullptr when handle is none
    // of this table's. The caller frees the object.
    Object* Take(void* handle) {
        std::lock_guard guard(lock_);
        auto found = objects_.find(static_cast<Object*>(handle));
        if (found == objects_.end())
            return nullptr;
        Object* object = *found;
        objects_.erase(found);
        return object;
    }

    // Whether test holds for any open object; the objects can't be closed meanwhile.
    template <typename Test> bool Any(Test test) {
        std::lock_guard guard(lock_);
        for (Object* object : objects_) {
            if (test(*object))
                return true;
        }
        return false;
    }

    // Runs visit on every open object; they can't be closed meanwhile.
    template <typename Visit> void ForEach(Visit visit) {
        std::lock_guard guard(lock_);
        for (Object* object : objects_)
            visit(*object);
    }

  private:
    std::mutex lock_;
    std::set<Object*> objects_;
};

} // namespace winsim
