// The JNIEnv and JavaVM function tables. Each implemented function checks its environment and
// references first and records what is wrong; every other slot records that it was called.
#include "host_state.h"
#include "jni_slots.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace jnihost::internal {
namespace {

std::string pointerText(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string threadText(ThreadId thread) { return "thread " + std::to_string(thread); }

State& liveState() {
  State* s = currentState();
  if (!s) {
    std::fprintf(stderr, "jnihost: JNI called before any Host was made\n");
    std::abort();
  }
  return *s;
}

// One JNIEnv call: holds the lock, and has checked the environment and the pending exception.
class EnvCall : public Locked {
 public:
  EnvCall(JNIEnv* e, const char* function, bool allowedWhilePending = false)
      : Locked(liveState()), function_(function) {
    if (!state.knownEnvs.count(e)) {
      violation("JNIEnv " + pointerText(e) + " is not one the host made");
      return;
    }
    env = reinterpret_cast<EnvRecord*>(e);
    if (!env->live) {
      violation("JNIEnv of " + threadText(env->thread) + " used after that thread detached");
    } else if (env->thread != self_) {
      violation("JNIEnv of " + threadText(env->thread) + " used on " + threadText(self_) +
                (state.attached.count(self_) ? "" : ", which is not attached"));
    }
    if (env->pending && !allowedWhilePending)
      violation("called while " + env->pending->className + " is pending");
  }

  void violation(const std::string& what) { recordViolation(state, function_, what); }

  // The object ref stands for, or null: for a null ref, and for one that may not be used here.
  Object* resolve(jobject ref) {
    if (!ref) return nullptr;
    Ref* r = knownRef(state, ref);
    if (!r) {
      violation(pointerText(ref) + " is not a reference the host made");
      return nullptr;
    }
    if (r->deleted) {
      violation(describe(r) + (r->kind == RefKind::Global ? " used after DeleteGlobalRef" : " used after DeleteLocalRef"));
      return nullptr;
    }
    if (r->kind == RefKind::Local && r->thread != self_) {
      violation(describe(r) + " of " + threadText(r->thread) + " used on " + threadText(self_));
      return nullptr;
    }
    return r->target;
  }

  bool selfIsDaemon() const {
    auto it = state.attached.find(self_);
    return it != state.attached.end() && it->second.daemon;
  }

  EnvRecord* env = nullptr;  // null when the JNIEnv is unknown

 private:
  const char* function_;
  ThreadId self_ = GetCurrentThreadId();
};

jint JNICALL GetVersion(JNIEnv* e) {
  EnvCall call(e, "GetVersion");
  return JNI_VERSION_1_8;
}

jint JNICALL GetJavaVM(JNIEnv* e, JavaVM** vm) {
  EnvCall call(e, "GetJavaVM");
  if (!vm) {
    call.violation("null JavaVM** given");
    return JNI_ERR;
  }
  *vm = &call->vm;
  return JNI_OK;
}

jobject JNICALL NewGlobalRef(JNIEnv* e, jobject obj) {
  EnvCall call(e, "NewGlobalRef");
  if (call->newGlobalRefFailures > 0) {
    --call->newGlobalRefFailures;
    return nullptr;
  }
  Object* target = call.resolve(obj);
  return target ? reinterpret_cast<jobject>(newRef(call.state, target, RefKind::Global)) : nullptr;
}

void JNICALL DeleteGlobalRef(JNIEnv* e, jobject ref) {
  EnvCall call(e, "DeleteGlobalRef", true);
  if (!ref) return;
  Ref* r = knownRef(call.state, ref);
  if (!r)
    call.violation(pointerText(ref) + " is not a reference the host made");
  else if (r->kind != RefKind::Global)
    call.violation(describe(r) + " is not a global reference");
  else if (r->deleted)
    call.violation(describe(r) + " deleted a second time");
  else
    r->deleted = true;
}

jclass JNICALL GetObjectClass(JNIEnv* e, jobject obj) {
  EnvCall call(e, "GetObjectClass");
  if (!obj) {
    call.violation("null object");
    return nullptr;
  }
  Object* target = call.resolve(obj);
  return target ? reinterpret_cast<jclass>(newRef(call.state, target->cls, RefKind::Local)) : nullptr;
}

// The class a method lookup searches, or null after recording why there is none.
Object* lookupClass(EnvCall& call, jclass clazz, const char* name, const char* signature) {
  if (!clazz || !name || !signature) {
    call.violation("null class, name or signature");
    return nullptr;
  }
  Object* cls = call.resolve(clazz);
  if (cls && !cls->isClass) {
    call.violation(describe(cls) + " is not a class");
    return nullptr;
  }
  return cls;
}

jmethodID JNICALL GetMethodID(JNIEnv* e, jclass clazz, const char* name, const char* signature) {
  EnvCall call(e, "GetMethodID");
  Object* cls = lookupClass(call, clazz, name, signature);
  if (!cls) return nullptr;
  for (auto& m : cls->methods)
    if (!m->isStatic && m->name == name && m->signature == signature) return reinterpret_cast<jmethodID>(m.get());
  if (call.env)
    throwNew(call.state, *call.env, throwableClass(call.state, "java/lang/NoSuchMethodError"), name);
  return nullptr;
}

// The one implementation behind CallVoidMethod, CallVoidMethodV and CallVoidMethodA;
// nextLong reads the next argument, which is always a jlong for a listener method.
template <class NextLong>
void callVoidMethod(const char* function, JNIEnv* e, jobject obj, jmethodID id, NextLong nextLong) {
  EnvCall call(e, function);
  if (!obj || !id) {
    call.violation(!obj ? "null object" : "null jmethodID");
    return;
  }
  Object* target = call.resolve(obj);
  if (!target) return;
  auto* method = reinterpret_cast<const Method*>(id);
  if (!call->knownMethods.count(method)) {
    call.violation("jmethodID " + pointerText(id) + " is not one GetMethodID handed out");
    return;
  }
  if (method->owner != target->cls) {
    call.violation(method->name + " of " + describe(method->owner) + " called on " + describe(target));
    return;
  }
  ListenerCall record{target->listenerId, method->name, {}, GetCurrentThreadId(), call.selfIsDaemon()};
  for (int i = 0; i < method->longArgs; ++i) record.args.push_back(nextLong());
  call->listenerCalls.push_back(record);
  call->listenerCalled.notify_all();

  // The hook may block or call into the host; it runs without the lock, as Java code would.
  auto hook = call->listenerHook;
  call.lock.unlock();
  bool hookThrew = false;
  if (hook) {
    try {
      hook(record);
    } catch (...) {
      hookThrew = true;
    }
  }
  call.lock.lock();
  if (hookThrew) call.violation("the test's listener hook threw");
  if (target->throws && call.env)
    throwNew(call.state, *call.env, throwableClass(call.state, kListenerException), method->name + " failed");
}

void JNICALL CallVoidMethodV(JNIEnv* e, jobject obj, jmethodID id, va_list args) {
  callVoidMethod("CallVoidMethodV", e, obj, id, [&] { return va_arg(args, jlong); });
}

void JNICALL CallVoidMethod(JNIEnv* e, jobject obj, jmethodID id, ...) {
  va_list args;
  va_start(args, id);
  callVoidMethod("CallVoidMethod", e, obj, id, [&] { return va_arg(args, jlong); });
  va_end(args);
}

void JNICALL CallVoidMethodA(JNIEnv* e, jobject obj, jmethodID id, const jvalue* args) {
  size_t next = 0;
  callVoidMethod("CallVoidMethodA", e, obj, id, [&] { return args ? args[next++].j : jlong{0}; });
}

// Only the classes a test defined (Host::defineJavaDiagnostics) are found; any other name raises
// NoClassDefFoundError, as a JVM does for a class its loader cannot see.
jclass JNICALL FindClass(JNIEnv* e, const char* name) {
  EnvCall call(e, "FindClass");
  if (!name) {
    call.violation("null name");
    return nullptr;
  }
  ++call->findClassCalls[name];
  auto found = call->findableClasses.find(name);
  if (found != call->findableClasses.end())
    return reinterpret_cast<jclass>(newRef(call.state, found->second, RefKind::Local));
  if (call.env) throwNew(call.state, *call.env, throwableClass(call.state, "java/lang/NoClassDefFoundError"), name);
  return nullptr;
}

void JNICALL DeleteLocalRef(JNIEnv* e, jobject ref) {
  EnvCall call(e, "DeleteLocalRef", true);
  if (!ref) return;
  Ref* r = knownRef(call.state, ref);
  if (!r)
    call.violation(pointerText(ref) + " is not a reference the host made");
  else if (r->kind != RefKind::Local)
    call.violation(describe(r) + " is not a local reference");
  else if (r->deleted)
    call.violation(describe(r) + " deleted a second time");
  else if (r->thread != GetCurrentThreadId())
    call.violation(describe(r) + " of thread " + std::to_string(r->thread) + " deleted on another thread");
  else
    r->deleted = true;
}

jmethodID JNICALL GetStaticMethodID(JNIEnv* e, jclass clazz, const char* name, const char* signature) {
  EnvCall call(e, "GetStaticMethodID");
  Object* cls = lookupClass(call, clazz, name, signature);
  if (!cls) return nullptr;
  if (cls->className != kJavaDiagnosticsClass || call->javaDiagnostics.methodsPresent)
    for (auto& m : cls->methods)
      if (m->isStatic && m->name == name && m->signature == signature) return reinterpret_cast<jmethodID>(m.get());
  if (call.env)
    throwNew(call.state, *call.env, throwableClass(call.state, "java/lang/NoSuchMethodError"), name);
  return nullptr;
}

// The static method id of cls, or null after recording why it may not be called so.
const Method* staticMethod(EnvCall& call, jclass clazz, jmethodID id) {
  Object* cls = call.resolve(clazz);
  auto* method = reinterpret_cast<const Method*>(id);
  if (!cls || !id || !call->knownMethods.count(method)) {
    call.violation(!cls ? "null or unusable class" : "jmethodID " + pointerText(id) + " is not one the host handed out");
    return nullptr;
  }
  if (!method->isStatic || method->owner != cls) {
    call.violation(method->name + " of " + describe(method->owner) + " called as a static method of " + describe(cls));
    return nullptr;
  }
  return method;
}

// Diagnostics.isLoggable(library, level), as the test scripted it.
jboolean JNICALL CallStaticBooleanMethodA(JNIEnv* e, jclass clazz, jmethodID id, const jvalue* args) {
  EnvCall call(e, "CallStaticBooleanMethodA");
  const Method* method = staticMethod(call, clazz, id);
  if (!method || method->name != "isLoggable" || !args) return JNI_FALSE;
  ++call->isLoggableCalls;
  if (call->javaDiagnostics.isLoggableThrows) {
    if (call.env) throwNew(call.state, *call.env, throwableClass(call.state, "java/lang/RuntimeException"), "isLoggable");
    return JNI_FALSE;
  }
  const jint library = args[0].i;
  if (library < 0 || library > 1) {
    call.violation("isLoggable for library " + std::to_string(library));
    return JNI_FALSE;
  }
  return args[1].i >= call->javaDiagnostics.thresholds[library] ? JNI_TRUE : JNI_FALSE;
}

// Diagnostics.log and Diagnostics.listenerThrew: what reaches them is recorded.
void JNICALL CallStaticVoidMethodA(JNIEnv* e, jclass clazz, jmethodID id, const jvalue* args) {
  EnvCall call(e, "CallStaticVoidMethodA");
  const Method* method = staticMethod(call, clazz, id);
  if (!method || !args) return;
  JavaLogRecord record;
  if (method->name == "log") {
    Object* message = call.resolve(args[2].l);
    Object* systemText = call.resolve(args[4].l);
    if (!message) call.violation("log without a message");
    record.library = args[0].i;
    record.level = args[1].i;
    record.message = message ? message->text : "";
    record.code = args[3].i;
    if (systemText) record.systemText = systemText->text;
  } else if (method->name == "listenerThrew") {
    Object* name = call.resolve(args[0].l);
    Object* thrown = call.resolve(args[1].l);
    record.listenerMethod = name ? name->text : "";
    record.thrownClass = thrown ? thrown->className : "";
  } else {
    call.violation(method->name + " is not void");
    return;
  }
  call->javaLogRecords.push_back(record);
}

jstring newStringObject(EnvCall& call, std::string text) {
  ++call->stringsMade;
  Object* string = newObject(call.state, call->stringClass->className, call->stringClass);
  string->text = std::move(text);
  return reinterpret_cast<jstring>(newRef(call.state, string, RefKind::Local));
}

jstring JNICALL NewStringUTF(JNIEnv* e, const char* bytes) {
  EnvCall call(e, "NewStringUTF");
  if (!bytes) {
    call.violation("null bytes");
    return nullptr;
  }
  return newStringObject(call, bytes);
}

// Kept as UTF-8, so that tests compare it with ordinary strings.
jstring JNICALL NewString(JNIEnv* e, const jchar* chars, jsize length) {
  EnvCall call(e, "NewString");
  if (!chars || length < 0) {
    call.violation("null characters or a negative length");
    return nullptr;
  }
  const auto* wide = reinterpret_cast<const wchar_t*>(chars);
  std::string text(size_t(WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), int(text.size()), nullptr, nullptr);
  return newStringObject(call, std::move(text));
}

const char* JNICALL GetStringUTFChars(JNIEnv* e, jstring str, jboolean* isCopy) {
  EnvCall call(e, "GetStringUTFChars");
  if (!str) {
    call.violation("null string");
    return nullptr;
  }
  Object* string = call.resolve(str);
  if (!string) return nullptr;
  if (string->cls != call->stringClass) {
    call.violation(describe(string) + " is not a string");
    return nullptr;
  }
  if (call->utf8Fails) {
    if (call.env) throwNew(call.state, *call.env, throwableClass(call.state, "java/lang/OutOfMemoryError"), "");
    return nullptr;
  }
  auto bytes = std::make_unique<char[]>(string->text.size() + 1);
  std::memcpy(bytes.get(), string->text.c_str(), string->text.size() + 1);
  const char* chars = bytes.get();
  call->utf8Handed[chars] = Utf8Chars{std::move(bytes), string, GetCurrentThreadId()};
  if (isCopy) *isCopy = JNI_TRUE;
  return chars;
}

void JNICALL ReleaseStringUTFChars(JNIEnv* e, jstring str, const char* chars) {
  EnvCall call(e, "ReleaseStringUTFChars", true);
  auto handed = call->utf8Handed.find(chars);
  if (handed == call->utf8Handed.end()) {
    call.violation(pointerText(chars) + " was not handed out by GetStringUTFChars, or was released already");
    return;
  }
  Object* string = call.resolve(str);
  if (!str)
    call.violation("null string");
  else if (string && string != handed->second.string)
    call.violation("characters of " + describe(handed->second.string) + " released with " + describe(string));
  call->utf8Handed.erase(handed);
}

jint JNICALL Throw(JNIEnv* e, jthrowable obj) {
  EnvCall call(e, "Throw", true);
  if (!obj) call.violation("null throwable");
  Object* throwable = call.resolve(obj);
  if (!throwable || !call.env) return JNI_ERR;
  call.env->pending = throwable;
  return JNI_OK;
}

jint JNICALL ThrowNew(JNIEnv* e, jclass clazz, const char* message) {
  EnvCall call(e, "ThrowNew", true);
  if (!clazz) call.violation("null class");
  Object* cls = call.resolve(clazz);
  if (!cls || !call.env) return JNI_ERR;
  if (!cls->isClass) {
    call.violation(describe(cls) + " is not a class");
    return JNI_ERR;
  }
  throwNew(call.state, *call.env, cls, message ? message : "");
  return JNI_OK;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* e) {
  EnvCall call(e, "ExceptionOccurred", true);
  if (!call.env || !call.env->pending) return nullptr;
  return reinterpret_cast<jthrowable>(newRef(call.state, call.env->pending, RefKind::Local));
}

void JNICALL ExceptionDescribe(JNIEnv* e) {
  EnvCall call(e, "ExceptionDescribe", true);
  if (!call.env || !call.env->pending) return;
  std::fprintf(stderr, "Exception in %s: %s: %s\n", threadText(call.env->thread).c_str(),
               call.env->pending->className.c_str(), call.env->pending->text.c_str());
  call.env->pending = nullptr;
}

void JNICALL ExceptionClear(JNIEnv* e) {
  EnvCall call(e, "ExceptionClear", true);
  if (call.env) call.env->pending = nullptr;
}

jboolean JNICALL ExceptionCheck(JNIEnv* e) {
  EnvCall call(e, "ExceptionCheck", true);
  return call.env && call.env->pending ? JNI_TRUE : JNI_FALSE;
}

// One JavaVM call: holds the lock and has checked that the JavaVM is the host's.
class VmCall : public Locked {
 public:
  VmCall(JavaVM* vm, const char* function) : Locked(liveState()), function_(function) {
    if (vm != &state.vm) violation("JavaVM " + pointerText(vm) + " is not the host's");
  }
  void violation(const std::string& what) { recordViolation(state, function_, what); }
  ThreadRecord* self() {
    auto it = state.attached.find(GetCurrentThreadId());
    return it == state.attached.end() ? nullptr : &it->second;
  }

 private:
  const char* function_;
};

// Attaching an attached thread changes nothing and yields its environment; a scripted failure
// applies to every attach while it is set.
jint attach(JavaVM* vm, void** penv, bool daemon, const char* function) {
  VmCall call(vm, function);
  if (!penv) {
    call.violation("null JNIEnv** given");
    return JNI_ERR;
  }
  if (daemon ? call->attachAsDaemonFails : call->attachFails) {
    *penv = nullptr;
    return JNI_ERR;
  }
  ThreadRecord* self = call.self();
  EnvRecord* env = self ? self->env : attachThread(call.state, GetCurrentThreadId(), daemon, false);
  *penv = &env->env;
  return JNI_OK;
}

jint JNICALL AttachCurrentThread(JavaVM* vm, void** penv, void*) {
  return attach(vm, penv, false, "AttachCurrentThread");
}

jint JNICALL AttachCurrentThreadAsDaemon(JavaVM* vm, void** penv, void*) {
  return attach(vm, penv, true, "AttachCurrentThreadAsDaemon");
}

jint JNICALL DetachCurrentThread(JavaVM* vm) {
  VmCall call(vm, "DetachCurrentThread");
  ThreadRecord* self = call.self();
  if (!self) return JNI_OK;  // detaching a thread that is not attached is a no-op
  if (self->caller) {
    call.violation("a Java thread running a native method cannot be detached");
    return JNI_ERR;
  }
  // The hook may block or call into the host; it runs without the lock, as Java code would.
  if (auto hook = call->detachHook) {
    call.lock.unlock();
    hook();
    call.lock.lock();
  }
  detachThread(call.state, GetCurrentThreadId());
  return JNI_OK;
}

jint JNICALL GetEnv(JavaVM* vm, void** penv, jint version) {
  VmCall call(vm, "GetEnv");
  if (!penv) {
    call.violation("null JNIEnv** given");
    return JNI_ERR;
  }
  *penv = nullptr;
  switch (version) {
    case JNI_VERSION_1_1: case JNI_VERSION_1_2: case JNI_VERSION_1_4:
    case JNI_VERSION_1_6: case JNI_VERSION_1_8: break;
    default: return JNI_EVERSION;
  }
  ThreadRecord* self = call.self();
  if (!self) return JNI_EDETACHED;
  *penv = &self->env->env;
  return JNI_OK;
}

void recordUnimplemented(const char* function) {
  Locked call(liveState());
  recordViolation(call.state, function, "not implemented by the host");
}

// A stub with exactly the slot's signature, so that a stdcall caller's stack stays balanced.
template <class Fn, class Slot>
struct Stub;
template <class R, class... A, class Slot>
struct Stub<R(JNICALL*)(A...), Slot> {
  static R JNICALL call(A...) {
    recordUnimplemented(Slot::label);
    return R();
  }
};
template <class R, class... A, class Slot>
struct Stub<R(JNICALL*)(A..., ...), Slot> {
  static R JNICALL call(A..., ...) {
    recordUnimplemented(Slot::label);
    return R();
  }
};

#define JNIHOST_SLOT_TAG(name) \
  struct name##Slot {          \
    static constexpr const char* label = #name; \
  };
JNIHOST_ENV_SLOTS(JNIHOST_SLOT_TAG)
JNIHOST_VM_SLOTS(JNIHOST_SLOT_TAG)

#define JNIHOST_COUNT(name) +1
static_assert(sizeof(JNINativeInterface_) == (4 JNIHOST_ENV_SLOTS(JNIHOST_COUNT)) * sizeof(void*),
              "the slot list must name every function of JNINativeInterface_");
static_assert(sizeof(JNIInvokeInterface_) == (3 JNIHOST_VM_SLOTS(JNIHOST_COUNT)) * sizeof(void*),
              "the slot list must name every function of JNIInvokeInterface_");

// On x64 the va_list parameters carry an ABI attribute that a template argument drops; the
// stub's type still equals the slot's, as the assignment checks.
#pragma GCC diagnostic ignored "-Wignored-attributes"
#define JNIHOST_STUB_SLOT(name) t.name = Stub<decltype(t.name), name##Slot>::call;

JNINativeInterface_ makeEnvTable() {
  JNINativeInterface_ t{};
  JNIHOST_ENV_SLOTS(JNIHOST_STUB_SLOT)
  t.GetVersion = GetVersion;
  t.GetJavaVM = GetJavaVM;
  t.NewGlobalRef = NewGlobalRef;
  t.DeleteGlobalRef = DeleteGlobalRef;
  t.GetObjectClass = GetObjectClass;
  t.GetMethodID = GetMethodID;
  t.CallVoidMethod = CallVoidMethod;
  t.CallVoidMethodV = CallVoidMethodV;
  t.CallVoidMethodA = CallVoidMethodA;
  t.FindClass = FindClass;
  t.DeleteLocalRef = DeleteLocalRef;
  t.GetStaticMethodID = GetStaticMethodID;
  t.CallStaticBooleanMethodA = CallStaticBooleanMethodA;
  t.CallStaticVoidMethodA = CallStaticVoidMethodA;
  t.NewStringUTF = NewStringUTF;
  t.NewString = NewString;
  t.GetStringUTFChars = GetStringUTFChars;
  t.ReleaseStringUTFChars = ReleaseStringUTFChars;
  t.Throw = Throw;
  t.ThrowNew = ThrowNew;
  t.ExceptionOccurred = ExceptionOccurred;
  t.ExceptionDescribe = ExceptionDescribe;
  t.ExceptionClear = ExceptionClear;
  t.ExceptionCheck = ExceptionCheck;
  return t;
}

JNIInvokeInterface_ makeVmTable() {
  JNIInvokeInterface_ t{};
  JNIHOST_VM_SLOTS(JNIHOST_STUB_SLOT)
  t.AttachCurrentThread = AttachCurrentThread;
  t.AttachCurrentThreadAsDaemon = AttachCurrentThreadAsDaemon;
  t.DetachCurrentThread = DetachCurrentThread;
  t.GetEnv = GetEnv;
  return t;
}

}  // namespace

const JNINativeInterface_* envTable() {
  static const JNINativeInterface_ table = makeEnvTable();
  return &table;
}

const JNIInvokeInterface_* vmTable() {
  static const JNIInvokeInterface_ table = makeVmTable();
  return &table;
}

void recordViolation(State& s, const char* function, const std::string& what) {
  s.violations.push_back(std::string(function) + " (thread " + std::to_string(GetCurrentThreadId()) +
                         "): " + what);
}

}  // namespace jnihost::internal
