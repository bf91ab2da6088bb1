#pragma once
// A checking stand-in for the Java virtual machine, so the JNI libraries run and are tested
// without one. It implements the few JNI functions the libraries use, records every misuse it
// can see as a readable violation, and records what reaches Java: listener calls and diagnostics.
#include <jni.h>
#include <windows.h>

#include <climits>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace jnihost {

using ThreadId = DWORD;  // an OS thread id, as GetCurrentThreadId gives it

// Which of the listener methods a listener's class has.
struct ListenerClass {
  bool hotKeyHit = true;   // HotKeyHit "(JJJ)V"
  bool kbFailed = true;    // KBFailed "()V"
  bool kbDetached = true;  // KBDetached "()V"
};

// The exception a throwing listener leaves pending after each of its calls.
inline constexpr const char* kListenerException = "java/lang/RuntimeException";

struct ListenerCall {
  int listener = 0;          // the listener's id (see Host::listenerId)
  std::string method;        // "HotKeyHit", "KBFailed" or "KBDetached"
  std::vector<jlong> args;   // the call's arguments in order
  ThreadId thread = 0;       // the thread the call came on
  bool daemon = false;       // that thread was attached as a daemon at the time
};

struct Diagnostic {
  std::string level;
  std::string message;
  HRESULT code = 0;
  ThreadId thread = 0;
  JNIEnv* env = nullptr;
};

// The jar's Java side of the shipped logging hook (com/morvane/quorlink/internal/Diagnostics), as
// a test scripts it. FindClass finds it only once Host::defineJavaDiagnostics made it.
inline constexpr const char* kJavaDiagnosticsClass = "com/morvane/quorlink/internal/Diagnostics";
inline constexpr int kLoggingOff = INT_MAX;  // java.util.logging's Level.OFF

struct JavaDiagnosticsScript {
  bool methodsPresent = true;     // false: GetStaticMethodID raises NoSuchMethodError
  bool isLoggableThrows = false;  // isLoggable leaves a RuntimeException pending
  // Per library (0 TonePort, 1 ChordGate): the lowest java.util.logging level that is logged.
  int thresholds[2] = {kLoggingOff, kLoggingOff};
};

// One call of Diagnostics.log (a diagnostic) or Diagnostics.listenerThrew (a listener's exception).
struct JavaLogRecord {
  int library = -1;                       // log: the library index
  int level = 0;                          // log: java.util.logging's value
  std::string message;                    // log: the fixed message
  HRESULT code = 0;                       // log
  std::optional<std::string> systemText;  // log: Windows' text for the code, in UTF-8
  std::string listenerMethod;             // listenerThrew
  std::string thrownClass;                // listenerThrew
};

// One per process; keep it alive for the whole process (the libraries' service threads never
// end and keep calling into it). The constructing thread becomes the first attached caller.
// Every member is thread-safe.
class Host {
 public:
  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  static Host& current();  // the live host; aborts when there is none

  JavaVM* vm();
  JNIEnv* env();           // the calling thread's environment; null when it is not attached
  jclass receiver();       // the class the static natives are called on; valid on every thread

  // Objects, as local references of the calling thread (which must be attached).
  jobject newListener(ListenerClass methods = {}, bool throws = false);
  int listenerId(jobject listener);               // -1 when the reference is no listener
  jstring newString(const std::string& modifiedUtf8);

  // Scripted faults. An attach fault holds for every attach while it is set, also for a thread
  // that is attached already (which stays attached).
  void setAttachFails(bool fail);                 // AttachCurrentThread: JNI_ERR, env null
  void setAttachAsDaemonFails(bool fail);         // AttachCurrentThreadAsDaemon likewise
  void failNextNewGlobalRef();                    // the next NewGlobalRef returns null
  void setGetStringUTFCharsFails(bool fail);      // null and a pending OutOfMemoryError

  // Java threads of the host's own, attached as callers for as long as the function runs.
  void runJavaThread(std::function<void(JNIEnv*)> body);            // blocks until done
  std::thread startJavaThread(std::function<void(JNIEnv*)> body);   // join it yourself

  // Runs inside every listener method, on the calling thread, after the call is recorded.
  void onListenerCall(std::function<void(const ListenerCall&)> hook);
  // Runs inside DetachCurrentThread, on the thread that detaches itself while it is still
  // attached, so that a test sees what else has happened by then.
  void onDetach(std::function<void()> hook);

  std::vector<ListenerCall> listenerCalls();
  bool waitForListenerCalls(size_t count, int timeoutMs);  // true once at least count arrived

  std::vector<Diagnostic> diagnostics();
  std::optional<Diagnostic> findDiagnostic(const std::string& message);
  int countDiagnostics(const std::string& message);

  std::vector<std::string> violations();
  int liveGlobalRefs();                           // all outstanding global references
  int liveGlobalRefs(jobject target);             // those to the object target refers to
  int unreleasedStringChars();
  std::vector<std::string> leaks();               // one readable line per outstanding item

  bool isAttached(ThreadId thread);
  bool isDaemon(ThreadId thread);
  std::vector<ThreadId> nonDaemonThreadsBesidesCallers();
  std::vector<ThreadId> attachedThreadsBesidesCallers();

  std::string pendingException(JNIEnv* env);      // class name ("java/lang/...") or empty
  std::string pendingExceptionMessage(JNIEnv* env);

  // The Java side of the shipped logging hook, and what reached it.
  void defineJavaDiagnostics(JavaDiagnosticsScript script = {});
  std::vector<JavaLogRecord> javaLogRecords();
  int findClassCalls(const std::string& name);
  int isLoggableCalls();
  int stringsMade();                              // by NewStringUTF and NewString

  void clearRecords();                            // listener calls, diagnostics, violations
};

namespace detail {
// The argument bytes of the 32-bit decoration (_Name@N), whatever the build's architecture.
template <class A>
constexpr int x86Bytes() { return std::is_pointer_v<A> ? 4 : int((sizeof(A) + 3) / 4 * 4); }
template <class Fn>
struct ArgBytes;
template <class R, class... A>
struct ArgBytes<R(JNICALL*)(A...)> {
  static constexpr int value = (0 + ... + x86Bytes<A>());
};
}  // namespace detail

// A JNI library loaded the way the JVM loads it. Never unloaded: its threads outlive any test.
class NativeLibrary {
 public:
  explicit NativeLibrary(const std::wstring& path);  // throws std::runtime_error on failure
  explicit NativeLibrary(const std::string& path);

  HMODULE handle() const { return module_; }
  void* symbol(const std::string& exportName) const;  // exactly that name; null when absent

  // "Java_com_example_Foo_bar" for class "com.example.Foo", method "bar".
  static std::string jniName(const std::string& javaClass, const std::string& method);
  // The JVM's lookup order; null when no candidate is exported.
  void* findNative(const std::string& javaClass, const std::string& method, int argBytes) const;

  // Throw std::runtime_error naming every name tried when the function is missing, and when
  // argBytes disagrees with the parameters of Fn.
  template <class Fn>
  Fn native(const std::string& javaClass, const std::string& method, int argBytes) const {
    if (argBytes != detail::ArgBytes<Fn>::value)
      throw std::runtime_error(javaClass + "." + method + ": " + std::to_string(argBytes) +
                               " argument bytes given, the function type has " +
                               std::to_string(detail::ArgBytes<Fn>::value));
    return reinterpret_cast<Fn>(requireNative(javaClass, method, argBytes));
  }
  template <class Fn>
  Fn native(const std::string& javaClass, const std::string& method) const {
    return reinterpret_cast<Fn>(requireNative(javaClass, method, detail::ArgBytes<Fn>::value));
  }
  template <class Fn>
  Fn plain(const std::string& name) const {
    return reinterpret_cast<Fn>(requireSymbol(name));
  }

 private:
  void* requireNative(const std::string& javaClass, const std::string& method, int argBytes) const;
  void* requireSymbol(const std::string& name) const;

  std::string path_;
  HMODULE module_ = nullptr;
};

}  // namespace jnihost
