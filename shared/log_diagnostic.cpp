#include "log_diagnostic.h"

#include <atomic>
#include <memory>
#include <string_view>

// The shipped hook hands each diagnostic to the jar's Java side, which logs it through
// java.util.logging under com.morvane.quorlink.keyboard.<library> when the user switched that on.
// Off, a diagnostic costs one call of Diagnostics.isLoggable and makes no Java object. Without
// the jar's class (a client with its own copies of the declarations) it does nothing.
namespace {

constexpr char kDiagnosticsClass[] = "com/morvane/quorlink/internal/Diagnostics";

// The library's index in the Java side's table, from the name the build gives this object.
constexpr jint kLibrary = std::string_view(QL_LIBRARY_NAME) == "TonePort" ? 0 : 1;

// java.util.logging's values for the hook's three level words.
jint julLevel(const char* level) {
    const std::string_view word = level ? level : "";
    if (word == "severe") return 1000;
    if (word == "warning") return 900;
    return 800;
}

// The Java side, looked up once with the class loader of the native method that first logs;
// a failed lookup is cached as absent, and the JNI error it raised is cleared.
struct JavaDiagnostics {
    jclass cls = nullptr;  // global reference; null when the class or a method is absent
    jmethodID isLoggable = nullptr;
    jmethodID log = nullptr;
    jmethodID listenerThrew = nullptr;
};

JavaDiagnostics lookUp(JNIEnv* env) {
    JavaDiagnostics found;
    const jclass local = env->FindClass(kDiagnosticsClass);
    if (!local) {
        env->ExceptionClear();
        return found;
    }
    found.isLoggable = env->GetStaticMethodID(local, "isLoggable", "(II)Z");
    if (found.isLoggable) found.log = env->GetStaticMethodID(local, "log", "(IILjava/lang/String;ILjava/lang/String;)V");
    if (found.log)
        found.listenerThrew = env->GetStaticMethodID(local, "listenerThrew", "(Ljava/lang/String;Ljava/lang/Throwable;)V");
    if (found.listenerThrew) found.cls = static_cast<jclass>(env->NewGlobalRef(local));
    env->ExceptionClear();
    env->DeleteLocalRef(local);
    return found;
}

std::atomic<const JavaDiagnostics*> lookedUp{nullptr};  // set once a Java caller's thread looked up

const JavaDiagnostics& javaDiagnostics(JNIEnv* env) {
    static const JavaDiagnostics java = lookUp(env);  // thread-safe, once
    lookedUp = &java;
    return java;
}

// An exception the native method leaves pending for its Java caller is taken aside while the
// hook calls Java (JNI allows no call while one is pending) and thrown again unchanged: the same
// object, pending as before. Exceptions of the hook's own are cleared before that.
class PendingExceptionKept {
public:
    explicit PendingExceptionKept(JNIEnv* env) : env_(env), thrown_(env->ExceptionOccurred()) {
        if (thrown_) env_->ExceptionClear();
    }
    ~PendingExceptionKept() {
        env_->ExceptionClear();
        if (!thrown_) return;
        env_->Throw(thrown_);
        env_->DeleteLocalRef(thrown_);
    }
    PendingExceptionKept(const PendingExceptionKept&) = delete;
    PendingExceptionKept& operator=(const PendingExceptionKept&) = delete;

private:
    JNIEnv* env_;
    jthrowable thrown_;
};

// A local reference deleted when the owner goes, so a long native method never piles them up.
struct LocalRefDeleter {
    JNIEnv* env;
    void operator()(jobject ref) const { env->DeleteLocalRef(ref); }
};
using LocalRef = std::unique_ptr<_jobject, LocalRefDeleter>;

bool isLoggable(JNIEnv* env, const JavaDiagnostics& java, jint level) {
    jvalue args[2];
    args[0].i = kLibrary;
    args[1].i = level;
    const jboolean on = env->CallStaticBooleanMethodA(java.cls, java.isLoggable, args);
    return !env->ExceptionCheck() && on == JNI_TRUE;
}

// Windows' own text for the code, as FormatMessage gives it without its trailing line break;
// null when the system has none.
jstring systemText(JNIEnv* env, HRESULT code) {
    wchar_t text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, text, sizeof text / sizeof text[0], nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' '))
        --length;
    if (length == 0) return nullptr;
    static_assert(sizeof(wchar_t) == sizeof(jchar), "Windows' UTF-16 is Java's");
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(length));
}

}  // namespace

void logDiagnostic(JNIEnv* env, const char* level, const char* message, HRESULT code) {
    if (!env || !message) return;
    PendingExceptionKept kept(env);
    const JavaDiagnostics& java = javaDiagnostics(env);
    const jint julValue = julLevel(level);
    if (!java.cls || !isLoggable(env, java, julValue)) return;

    const LocalRef text(env->NewStringUTF(message), {env});
    const LocalRef explanation(code != 0 && text ? systemText(env, code) : nullptr, {env});
    if (!text.get() || env->ExceptionCheck()) return;
    jvalue args[5];
    args[0].i = kLibrary;
    args[1].i = julValue;
    args[2].l = text.get();
    args[3].i = static_cast<jint>(code);
    args[4].l = explanation.get();
    env->CallStaticVoidMethodA(java.cls, java.log, args);
}

void logListenerException(JNIEnv* env, const char* method, jthrowable thrown) {
    // The service thread's class loader may not see the jar; only a lookup that a Java caller
    // already made is used here.
    const JavaDiagnostics* java = lookedUp;
    if (!env || !thrown || !java || !java->cls) return;
    PendingExceptionKept kept(env);
    if (!isLoggable(env, *java, 900)) return;
    const LocalRef name(env->NewStringUTF(method), {env});
    if (!name) return;
    jvalue args[2];
    args[0].l = name.get();
    args[1].l = thrown;
    env->CallStaticVoidMethodA(java->cls, java->listenerThrew, args);
}

void prepareDiagnostics(JNIEnv* env) {
    if (!env) return;
    PendingExceptionKept kept(env);
    javaDiagnostics(env);
}
