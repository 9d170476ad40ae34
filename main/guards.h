// Scoped owners for what the Installer obtains from the system: one small
// typed guard per kind of handle, with its close call and its invalid value,
// so that every path out of a function releases what it holds.
#ifndef VTN2_GUARDS_H
#define VTN2_GUARDS_H

#include "../platform/platform.h"

// Runs a release with the last error kept across it: a guard released between
// a failed call and its GetLastError must leave that call's error.
template <class Release>
void KeepingLastError(Release release) {
    DWORD dwError = GetLastError();
    release();
    SetLastError(dwError);
}

template <class Traits>
class UniqueResource {
public:
    typedef typename Traits::Type Type;

    UniqueResource() : value_(Traits::Invalid()) {}
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const { return value_; }
    bool valid() const { return value_ != Traits::Invalid(); }
    void reset(Type value = Traits::Invalid()) {
        if (valid()) KeepingLastError([this] { Traits::Close(value_); });
        value_ = value;
    }
    // For calls that hand the resource out through a pointer.
    Type* put() {
        reset();
        return &value_;
    }

private:
    Type value_;
};

struct DeviceHandleTraits {
    typedef HANDLE Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type value) { CloseHandle(value); }
};

struct DeviceSetTraits {
    typedef HDEVINFO Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type value) { SetupDiDestroyDeviceInfoList(value); }
};

struct RegKeyTraits {
    typedef HKEY Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type value) { RegCloseKey(value); }
};

struct LocalBlockTraits {
    typedef HLOCAL Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type value) { LocalFree(value); }
};

struct CBlockTraits {
    typedef void* Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type value) { Vtn2Free(value); }
};

struct FindTraits {
    typedef HANDLE Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type value) { FindClose(value); }
};

struct ProcessHandleTraits {
    typedef HANDLE Type;
    static Type Invalid() { return NULL; }
    static void Close(Type value) { CloseHandle(value); }
};

struct SidTraits {
    typedef PSID Type;
    static Type Invalid() { return NULL; }
    static void Close(Type value) { FreeSid(value); }
};

typedef UniqueResource<DeviceHandleTraits> UniqueDeviceHandle;
typedef UniqueResource<FindTraits> UniqueFind;
typedef UniqueResource<ProcessHandleTraits> UniqueProcessHandle;
typedef UniqueResource<SidTraits> UniqueSid;

// A block of the process heap, given back to the heap it came from: asking
// for the heap again at release could fail and leave the block behind.
class UniqueHeapBlock {
public:
    UniqueHeapBlock(HANDLE hHeap, SIZE_T nBytes)
        : hHeap_(hHeap), pBlock_(hHeap ? HeapAlloc(hHeap, 0, nBytes) : NULL) {}
    ~UniqueHeapBlock() {
        if (pBlock_) KeepingLastError([this] { HeapFree(hHeap_, 0, pBlock_); });
    }
    UniqueHeapBlock(const UniqueHeapBlock&) = delete;
    UniqueHeapBlock& operator=(const UniqueHeapBlock&) = delete;

    LPVOID get() const { return pBlock_; }
    bool valid() const { return pBlock_ != NULL; }

private:
    HANDLE hHeap_;
    LPVOID pBlock_;
};
typedef UniqueResource<DeviceSetTraits> UniqueDeviceSet;
typedef UniqueResource<RegKeyTraits> UniqueHkey;
typedef UniqueResource<LocalBlockTraits> UniqueLocalBlock;
typedef UniqueResource<CBlockTraits> UniqueCBlock;

#endif
