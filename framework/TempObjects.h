#pragma once
// Temporary wrapper objects: FromHandle of a window, device context or menu that no object of the
// framework owns gives a wrapper that lives until the outermost message loop of the thread next goes idle
// (AfxDeleteTempObjects). Keep such a pointer only for the handler that obtained it.
#include <memory>
#include <unordered_map>
#include <vector>

void AfxDeleteTempObjects();

namespace afx_detail {

void RegisterTempCleanup(void (*cleanup)());

// One thread's temporaries of type T keyed by handle H. Release(T*) forgets the handle so that deleting the
// wrapper leaves the handle alone.
template <class T, class H>
class TempMap {
public:
    static T* Get(H handle, void (*init)(T*, H))
    {
        auto& map = Map();
        auto it = map.find(handle);
        if (it != map.end())
            return it->second.get();
        if (!Registered()) {
            Registered() = true;
            RegisterTempCleanup(&Clear);
        }
        auto object = std::make_unique<T>();
        init(object.get(), handle);
        T* raw = object.get();
        map.emplace(handle, std::move(object));
        return raw;
    }
    static void Forget(H handle) { Map().erase(handle); }
    static void SetRelease(void (*release)(T*)) { Release() = release; }

private:
    static std::unordered_map<H, std::unique_ptr<T>>& Map()
    {
        thread_local std::unordered_map<H, std::unique_ptr<T>> map;
        return map;
    }
    static bool& Registered()
    {
        thread_local bool registered = false;
        return registered;
    }
    static void (*&Release())(T*)
    {
        static void (*release)(T*) = nullptr;
        return release;
    }
    static void Clear()
    {
        auto& map = Map();
        for (auto& entry : map) {
            if (Release())
                Release()(entry.second.get());
        }
        map.clear();
    }
};

}
