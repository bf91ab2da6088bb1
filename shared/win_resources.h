#pragma once
// Owners for the Windows, COM and JVM resources that both libraries hold on a thread.
#include <jni.h>
#include <windows.h>
#include <objbase.h>

// Holds an SRW lock exclusively for its lifetime.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

// A kernel handle, closed when the owner lets go of it.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr) {
        if (handle_) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// CoInitialize on this thread (a single-threaded apartment), balanced by CoUninitialize when it
// succeeded, S_FALSE included. RPC_E_CHANGED_MODE and other failures are the caller's to see.
class [[nodiscard]] ComApartment {
public:
    ComApartment() : result_(CoInitialize(nullptr)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT result() const { return result_; }
    bool failed() const { return FAILED(result_); }

private:
    HRESULT result_;
};

// The calling thread's JVM environment. A thread that is not attached yet is attached as a
// daemon, so that it never keeps the Java client from exiting, and detached when the owner goes;
// a thread that is attached already keeps its attachment, whoever made it, and is never detached
// here (detaching would undo an attachment this owner did not make).
class [[nodiscard]] DaemonJvmAttachment {
public:
    explicit DaemonJvmAttachment(JavaVM* vm) : vm_(vm) {
        if (!vm_) return;
        JNIEnv* env = nullptr;
        const jint state = vm_->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2);
        if (state == JNI_OK && env) {
            env_ = env;
        } else if (state == JNI_EDETACHED &&
                   vm_->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) == JNI_OK && env) {
            env_ = env;
            attachedHere_ = true;
        }
    }
    ~DaemonJvmAttachment() {
        if (attachedHere_) vm_->DetachCurrentThread();
    }
    DaemonJvmAttachment(const DaemonJvmAttachment&) = delete;
    DaemonJvmAttachment& operator=(const DaemonJvmAttachment&) = delete;

    bool attached() const { return env_ != nullptr; }
    JNIEnv* env() const { return env_; }

private:
    JavaVM* vm_;
    JNIEnv* env_ = nullptr;
    bool attachedHere_ = false;
};

// Module state that holds the keyboard's components: constructed with the library, never
// destroyed. At the process's end the components' own DLLs may be gone already, so a destructor
// that releases them from the exiting thread could crash the client's exit; the process's end
// frees everything anyway.
template <class T>
union NeverDestroyed {
    constexpr NeverDestroyed() : value() {}
    ~NeverDestroyed() {}
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T value;
};
