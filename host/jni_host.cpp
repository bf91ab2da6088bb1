// The host's public API, its bookkeeping helpers, and the export through which the checked
// libraries hand over their diagnostics. The export lives here, beside Host::Host, so that every
// program that makes a Host links it into its EXE.
#include "host_state.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace jnihost {
namespace internal {
namespace {

std::atomic<State*> g_state{nullptr};
std::atomic<Host*> g_host{nullptr};

State& liveHostState() {
  if (!g_host.load()) {
    std::fprintf(stderr, "jnihost: no Host is alive\n");
    std::abort();
  }
  return *g_state.load();
}

void runAsCaller(const std::function<void(JNIEnv*)>& body) {
  State& s = liveHostState();
  JNIEnv* env;
  {
    Locked host(s);
    env = &attachThread(s, GetCurrentThreadId(), false, true)->env;
  }
  struct Detach {
    State& s;
    ~Detach() {
      Locked host(s);
      detachThread(s, GetCurrentThreadId());
    }
  } detach{s};
  body(env);
}

}  // namespace

State* currentState() { return g_state.load(); }

Object* newObject(State& s, std::string className, Object* cls) {
  s.objects.push_back(std::make_unique<Object>());
  Object* o = s.objects.back().get();
  o->className = std::move(className);
  o->cls = cls;
  return o;
}

Object* newClass(State& s, std::string name) {
  Object* c = newObject(s, std::move(name), s.classClass);
  c->isClass = true;
  return c;
}

Object* throwableClass(State& s, const std::string& name) {
  Object*& cls = s.throwableClasses[name];
  if (!cls) cls = newClass(s, name);
  return cls;
}

Ref* newRef(State& s, Object* target, RefKind kind) {
  s.refs.push_back(std::make_unique<Ref>());
  Ref* r = s.refs.back().get();
  r->target = target;
  r->kind = kind;
  r->thread = GetCurrentThreadId();
  r->serial = int(s.refs.size());
  s.knownRefs.insert(r);
  return r;
}

Ref* knownRef(State& s, jobject ref) {
  auto* r = reinterpret_cast<Ref*>(ref);
  return s.knownRefs.count(r) ? r : nullptr;
}

EnvRecord* attachThread(State& s, ThreadId thread, bool daemon, bool caller) {
  s.envs.push_back(std::make_unique<EnvRecord>());
  EnvRecord* env = s.envs.back().get();
  env->env.functions = envTable();
  env->thread = thread;
  s.knownEnvs.insert(&env->env);
  s.attached[thread] = ThreadRecord{env, daemon, caller};
  return env;
}

void detachThread(State& s, ThreadId thread) {
  auto it = s.attached.find(thread);
  if (it == s.attached.end()) return;
  it->second.env->live = false;
  s.attached.erase(it);
}

void throwNew(State& s, EnvRecord& env, Object* cls, std::string message) {
  Object* throwable = newObject(s, cls->className, cls);
  throwable->text = std::move(message);
  env.pending = throwable;
}

std::string describe(const Object* o) {
  if (!o) return "null";
  if (o->isClass) return "class " + o->className;
  if (o->listenerId) return "listener " + std::to_string(o->listenerId) + " (" + o->className + ")";
  if (o->className == "java/lang/String") return "string \"" + o->text + "\"";
  return "an object of " + o->className;
}

std::string describe(const Ref* r) {
  switch (r->kind) {
    case RefKind::Receiver: return "the receiver reference (" + describe(r->target) + ")";
    case RefKind::Global: return "global reference #" + std::to_string(r->serial) + " to " + describe(r->target);
    case RefKind::Local: break;
  }
  return "local reference #" + std::to_string(r->serial) + " to " + describe(r->target);
}

}  // namespace internal

using namespace internal;

namespace {

// The host's state behind the lock; only while a host is alive.
Locked host() { return Locked(liveHostState()); }

}  // namespace

Host::Host() {
  Host* none = nullptr;
  if (!g_host.compare_exchange_strong(none, this)) {
    std::fprintf(stderr, "jnihost: a second Host while one is alive\n");
    std::abort();
  }
  // Never freed: the libraries' service threads may call into it until the process ends.
  auto* s = new State;
  s->vm.functions = vmTable();
  s->classClass = newObject(*s, "java/lang/Class", nullptr);
  s->classClass->cls = s->classClass;
  s->classClass->isClass = true;
  s->stringClass = newClass(*s, "java/lang/String");
  s->receiver = newRef(*s, newClass(*s, "jnihost/Receiver"), RefKind::Receiver);
  attachThread(*s, GetCurrentThreadId(), false, true);
  g_state = s;
}

Host::~Host() { g_host = nullptr; }

Host& Host::current() {
  liveHostState();
  return *g_host.load();
}

JavaVM* Host::vm() { return &host()->vm; }

JNIEnv* Host::env() {
  auto s = host();
  auto it = s->attached.find(GetCurrentThreadId());
  return it == s->attached.end() ? nullptr : &it->second.env->env;
}

jclass Host::receiver() { return reinterpret_cast<jclass>(host()->receiver); }

jobject Host::newListener(ListenerClass methods, bool throws) {
  auto s = host();
  int id = s->nextListenerId++;
  Object* cls = newClass(s.state, "Listener" + std::to_string(id));
  auto add = [&](bool has, const char* name, const char* signature, int longArgs) {
    if (!has) return;
    cls->methods.push_back(std::make_unique<Method>(Method{cls, name, signature, longArgs}));
    s->knownMethods.insert(cls->methods.back().get());
  };
  add(methods.hotKeyHit, "HotKeyHit", "(JJJ)V", 3);
  add(methods.kbFailed, "KBFailed", "()V", 0);
  add(methods.kbDetached, "KBDetached", "()V", 0);
  Object* listener = newObject(s.state, cls->className, cls);
  listener->listenerId = id;
  listener->throws = throws;
  return reinterpret_cast<jobject>(newRef(s.state, listener, RefKind::Local));
}

int Host::listenerId(jobject listener) {
  auto s = host();
  Ref* r = knownRef(s.state, listener);
  return r && r->target->listenerId ? r->target->listenerId : -1;
}

jstring Host::newString(const std::string& modifiedUtf8) {
  auto s = host();
  Object* string = newObject(s.state, s->stringClass->className, s->stringClass);
  string->text = modifiedUtf8;
  return reinterpret_cast<jstring>(newRef(s.state, string, RefKind::Local));
}

void Host::setAttachFails(bool fail) { host()->attachFails = fail; }
void Host::setAttachAsDaemonFails(bool fail) { host()->attachAsDaemonFails = fail; }
void Host::failNextNewGlobalRef() { host()->newGlobalRefFailures = 1; }
void Host::setGetStringUTFCharsFails(bool fail) { host()->utf8Fails = fail; }

void Host::runJavaThread(std::function<void(JNIEnv*)> body) {
  std::exception_ptr failure;
  std::thread thread([&] {
    try {
      runAsCaller(body);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  thread.join();
  if (failure) std::rethrow_exception(failure);
}

std::thread Host::startJavaThread(std::function<void(JNIEnv*)> body) {
  return std::thread([body = std::move(body)] {
    try {
      runAsCaller(body);
    } catch (const std::exception& e) {
      auto s = host();
      recordViolation(s.state, "startJavaThread", std::string("the thread's body threw: ") + e.what());
    } catch (...) {
      auto s = host();
      recordViolation(s.state, "startJavaThread", "the thread's body threw");
    }
  });
}

void Host::onListenerCall(std::function<void(const ListenerCall&)> hook) { host()->listenerHook = std::move(hook); }

void Host::onDetach(std::function<void()> hook) { host()->detachHook = std::move(hook); }

std::vector<ListenerCall> Host::listenerCalls() { return host()->listenerCalls; }

bool Host::waitForListenerCalls(size_t count, int timeoutMs) {
  auto s = host();
  return s->listenerCalled.wait_for(s.lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return s->listenerCalls.size() >= count; });
}

std::vector<Diagnostic> Host::diagnostics() { return host()->diagnostics; }

std::optional<Diagnostic> Host::findDiagnostic(const std::string& message) {
  auto s = host();
  for (const Diagnostic& d : s->diagnostics)
    if (d.message == message) return d;
  return std::nullopt;
}

int Host::countDiagnostics(const std::string& message) {
  auto s = host();
  int count = 0;
  for (const Diagnostic& d : s->diagnostics) count += d.message == message;
  return count;
}

std::vector<std::string> Host::violations() { return host()->violations; }

int Host::liveGlobalRefs() {
  auto s = host();
  int count = 0;
  for (auto& r : s->refs) count += r->kind == RefKind::Global && !r->deleted;
  return count;
}

int Host::liveGlobalRefs(jobject target) {
  auto s = host();
  Ref* of = knownRef(s.state, target);
  if (!of) return 0;
  int count = 0;
  for (auto& r : s->refs) count += r->kind == RefKind::Global && !r->deleted && r->target == of->target;
  return count;
}

int Host::unreleasedStringChars() { return int(host()->utf8Handed.size()); }

std::vector<std::string> Host::leaks() {
  auto s = host();
  std::vector<std::string> lines;
  for (auto& r : s->refs)
    if (r->kind == RefKind::Global && !r->deleted)
      lines.push_back(describe(r.get()) + ", made on thread " + std::to_string(r->thread) + ", never deleted");
  for (auto& [chars, handed] : s->utf8Handed)
    lines.push_back("characters of " + describe(handed.string) + ", handed out on thread " +
                    std::to_string(handed.thread) + ", never released");
  return lines;
}

bool Host::isAttached(ThreadId thread) { return host()->attached.count(thread) != 0; }

bool Host::isDaemon(ThreadId thread) {
  auto s = host();
  auto it = s->attached.find(thread);
  return it != s->attached.end() && it->second.daemon;
}

std::vector<ThreadId> Host::nonDaemonThreadsBesidesCallers() {
  auto s = host();
  std::vector<ThreadId> threads;
  for (auto& [id, t] : s->attached)
    if (!t.caller && !t.daemon) threads.push_back(id);
  return threads;
}

std::vector<ThreadId> Host::attachedThreadsBesidesCallers() {
  auto s = host();
  std::vector<ThreadId> threads;
  for (auto& [id, t] : s->attached)
    if (!t.caller) threads.push_back(id);
  return threads;
}

std::string Host::pendingException(JNIEnv* env) {
  auto s = host();
  if (!s->knownEnvs.count(env)) return "";
  Object* pending = reinterpret_cast<EnvRecord*>(env)->pending;
  return pending ? pending->className : "";
}

std::string Host::pendingExceptionMessage(JNIEnv* env) {
  auto s = host();
  if (!s->knownEnvs.count(env)) return "";
  Object* pending = reinterpret_cast<EnvRecord*>(env)->pending;
  return pending ? pending->text : "";
}

void Host::defineJavaDiagnostics(JavaDiagnosticsScript script) {
  auto s = host();
  s->javaDiagnostics = script;
  Object*& cls = s->findableClasses[kJavaDiagnosticsClass];
  if (cls) return;
  cls = newClass(s.state, kJavaDiagnosticsClass);
  const std::pair<const char*, const char*> methods[] = {
      {"isLoggable", "(II)Z"},
      {"log", "(IILjava/lang/String;ILjava/lang/String;)V"},
      {"listenerThrew", "(Ljava/lang/String;Ljava/lang/Throwable;)V"},
  };
  for (const auto& [name, signature] : methods) {
    cls->methods.push_back(std::make_unique<Method>(Method{cls, name, signature, 0, true}));
    s->knownMethods.insert(cls->methods.back().get());
  }
}

std::vector<JavaLogRecord> Host::javaLogRecords() { return host()->javaLogRecords; }

int Host::findClassCalls(const std::string& name) {
  auto s = host();
  auto it = s->findClassCalls.find(name);
  return it == s->findClassCalls.end() ? 0 : it->second;
}

int Host::isLoggableCalls() { return host()->isLoggableCalls; }
int Host::stringsMade() { return host()->stringsMade; }

void Host::clearRecords() {
  auto s = host();
  s->javaLogRecords.clear();
  s->listenerCalls.clear();
  s->diagnostics.clear();
  s->violations.clear();
}

}  // namespace jnihost

// Found by log_diagnostic_to_host.cpp in the checked libraries through GetProcAddress on the EXE.
extern "C" __declspec(dllexport) void __cdecl jnihost_record_diagnostic(JNIEnv* env,
                                                                       const char* level,
                                                                       const char* message,
                                                                       HRESULT code) {
  using namespace jnihost::internal;
  State* state = currentState();
  if (!state) return;
  try {
    Locked s(*state);
    jnihost::ThreadId self = GetCurrentThreadId();
    if (!s->knownEnvs.count(env)) {
      recordViolation(s.state, "logDiagnostic", "the JNIEnv is not one the host made");
    } else {
      auto* record = reinterpret_cast<EnvRecord*>(env);
      if (!record->live || record->thread != self)
        recordViolation(s.state, "logDiagnostic",
                        "the JNIEnv of thread " + std::to_string(record->thread) +
                            (record->live ? " was used on another thread" : " was used after it detached"));
    }
    s->diagnostics.push_back(jnihost::Diagnostic{level ? level : "", message ? message : "", code, self, env});
  } catch (...) {
    // Nothing may unwind into the library that logs.
  }
}
