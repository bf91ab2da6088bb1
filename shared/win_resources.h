#pragma once
// Owners for the Windows, COM and JVM resources that both libraries hold on a thread.
#include <jni.h>
#include <windows.h>
#include <objbase.h>
#include <utility>

// A kernel handle, closed when the owner lets go of it.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
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

// Attaches a library-owned thread to the JVM as a daemon thread, so that the thread never keeps
// the Java client from exiting, and detaches it when the owner goes.
class [[nodiscard]] DaemonJvmAttachment {
public:
    explicit DaemonJvmAttachment(JavaVM* vm) : vm_(vm) {
        JNIEnv* env = nullptr;
        if (vm_ && vm_->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) == JNI_OK && env)
            env_ = env;
    }
    ~DaemonJvmAttachment() {
        if (env_) vm_->DetachCurrentThread();
    }
    DaemonJvmAttachment(const DaemonJvmAttachment&) = delete;
    DaemonJvmAttachment& operator=(const DaemonJvmAttachment&) = delete;

    bool attached() const { return env_ != nullptr; }
    JNIEnv* env() const { return env_; }

private:
    JavaVM* vm_;
    JNIEnv* env_ = nullptr;
};
