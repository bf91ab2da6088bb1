#pragma once
// The host's bookkeeping, shared by the public API (jni_host.cpp) and the JNI function tables
// (jni_functions.cpp). Nothing here is ever freed while the process runs: a stale environment,
// reference or method identifier must stay recognisable, to be reported instead of crashing.
#include "jni_host.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace jnihost::internal {

struct Object;

struct Method {
  Object* owner = nullptr;
  std::string name;
  std::string signature;
  int longArgs = 0;  // listener methods take only jlong arguments
  bool isStatic = false;
};

struct Object {
  std::string className;  // for a class: its own name; for an instance: its class's name
  Object* cls = nullptr;  // the class of an instance; java/lang/Class for a class
  bool isClass = false;
  std::vector<std::unique_ptr<Method>> methods;  // a class's
  int listenerId = 0;                            // > 0 for a listener
  bool throws = false;                           // a listener that throws from every call
  std::string text;                              // a string's bytes, a throwable's message
};

enum class RefKind { Local, Global, Receiver };

struct Ref {
  Object* target = nullptr;
  RefKind kind = RefKind::Local;
  ThreadId thread = 0;  // the thread a local reference was made on
  int serial = 0;
  bool deleted = false;
};

struct EnvRecord {
  JNIEnv_ env{};  // first, so the JNIEnv* the libraries see is this record's address
  ThreadId thread = 0;
  bool live = true;  // false once its thread detached
  Object* pending = nullptr;
};

struct ThreadRecord {
  EnvRecord* env = nullptr;
  bool daemon = false;
  bool caller = false;
};

struct Utf8Chars {
  std::unique_ptr<char[]> bytes;
  Object* string = nullptr;
  ThreadId thread = 0;
};

struct State {
  std::mutex mutex;
  std::condition_variable listenerCalled;
  JavaVM_ vm{};

  std::vector<std::unique_ptr<Object>> objects;
  std::vector<std::unique_ptr<Ref>> refs;
  std::set<const Ref*> knownRefs;
  std::set<const Method*> knownMethods;
  std::vector<std::unique_ptr<EnvRecord>> envs;
  std::set<const JNIEnv*> knownEnvs;
  std::map<ThreadId, ThreadRecord> attached;
  std::map<const char*, Utf8Chars> utf8Handed;

  Object* classClass = nullptr;
  Object* stringClass = nullptr;
  Ref* receiver = nullptr;
  std::map<std::string, Object*> throwableClasses;
  int nextListenerId = 1;

  bool attachFails = false;
  bool attachAsDaemonFails = false;
  int newGlobalRefFailures = 0;
  bool utf8Fails = false;

  std::map<std::string, Object*> findableClasses;  // what FindClass finds, by name
  std::map<std::string, int> findClassCalls;
  JavaDiagnosticsScript javaDiagnostics;
  std::vector<JavaLogRecord> javaLogRecords;
  int isLoggableCalls = 0;
  int stringsMade = 0;

  std::vector<ListenerCall> listenerCalls;
  std::vector<Diagnostic> diagnostics;
  std::vector<std::string> violations;
  std::function<void(const ListenerCall&)> listenerHook;
  std::function<void()> detachHook;
};

// The live host's state, or null before the first host. A host that has ended leaves its state
// behind for the service threads still calling into it.
State* currentState();
void setCurrentState(State* state);

// Holds the host's one lock for as long as it lives.
class Locked {
 public:
  explicit Locked(State& s) : state(s), lock(s.mutex) {}
  State& state;
  std::unique_lock<std::mutex> lock;
  State* operator->() const { return &state; }
};

const JNINativeInterface_* envTable();
const JNIInvokeInterface_* vmTable();

// Helpers that expect the lock held.
void recordViolation(State& s, const char* function, const std::string& what);
Object* newObject(State& s, std::string className, Object* cls);
Object* newClass(State& s, std::string name);
Object* throwableClass(State& s, const std::string& name);
Ref* newRef(State& s, Object* target, RefKind kind);
Ref* knownRef(State& s, jobject ref);  // null when ref is not one the host made
EnvRecord* attachThread(State& s, ThreadId thread, bool daemon, bool caller);
void detachThread(State& s, ThreadId thread);
void throwNew(State& s, EnvRecord& env, Object* cls, std::string message);
std::string describe(const Object* o);
std::string describe(const Ref* r);

}  // namespace jnihost::internal
