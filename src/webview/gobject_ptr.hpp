// Ownership of GLib objects and memory, so that no code path has to unref by hand.
#pragma once

#include <glib-object.h>

#include <memory>

namespace tarno_vesk {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over a reference returned by a constructor or a "_new" function.
template <class T>
GObjectPtr<T> adopt(T* object) {
    return GObjectPtr<T>(object);
}

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GBytesUnref {
    void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};
using GBytesPtr = std::unique_ptr<GBytes, GBytesUnref>;

}  // namespace tarno_vesk
