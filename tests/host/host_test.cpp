// The checking JNI host itself: that it sees the misuse it exists to see, and tells apart what
// the library tests rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "host_fixture.h"
#include "time_scale.h"

namespace {

using jnihost::ListenerClass;
using jnihost::ThreadId;

int violationsWith(const std::string& text) {
  int count = 0;
  for (const std::string& v : host().violations()) count += v.find(text) != std::string::npos;
  return count;
}

// Expects exactly one violation since the last clearRecords, and that it contains text.
void expectOneViolation(const std::string& text) {
  EXPECT_EQ(host().violations().size(), 1u) << joined(host().violations());
  EXPECT_EQ(violationsWith(text), 1) << "wanted \"" << text << "\" in:\n" << joined(host().violations());
}

jmethodID methodOf(JNIEnv* env, jobject obj, const char* name, const char* signature) {
  return env->GetMethodID(env->GetObjectClass(obj), name, signature);
}

void callThroughV(JNIEnv* env, jobject obj, jmethodID id, ...) {
  va_list args;
  va_start(args, id);
  env->CallVoidMethodV(obj, id, args);
  va_end(args);
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = host().env();
    ASSERT_NE(env, nullptr);
    host().clearRecords();
  }
  JNIEnv* env = nullptr;
  JavaVM* vm = host().vm();
};

TEST_F(HostTest, EnvironmentUsedOffItsThreadIsReported) {
  struct Case {
    const char* name;
    std::function<void()> misuse;
    const char* expected;
  } cases[] = {
      {"unattached thread", [&] { std::thread([&] { env->GetVersion(); }).join(); }, "which is not attached"},
      {"other Java thread", [&] { host().runJavaThread([&](JNIEnv*) { env->GetVersion(); }); }, "used on thread"},
      {"after detach", [&] {
         std::thread([&] {
           JNIEnv* own = nullptr;
           vm->AttachCurrentThread(reinterpret_cast<void**>(&own), nullptr);
           vm->DetachCurrentThread();
           own->GetVersion();
         }).join();
       }, "used after that thread detached"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host().clearRecords();
    c.misuse();
    expectOneViolation(c.expected);
  }
}

TEST_F(HostTest, DeletedGlobalAndForeignLocalReferencesAreReported) {
  jobject listener = host().newListener();
  jobject global = env->NewGlobalRef(listener);
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(host().liveGlobalRefs(listener), 1);
  host().runJavaThread([&](JNIEnv* other) { EXPECT_NE(other->GetObjectClass(global), nullptr); });
  env->DeleteGlobalRef(global);
  EXPECT_EQ(host().liveGlobalRefs(listener), 0);
  EXPECT_TRUE(host().violations().empty()) << joined(host().violations());

  EXPECT_EQ(env->GetObjectClass(global), nullptr);
  expectOneViolation("used after DeleteGlobalRef");

  struct Case {
    const char* name;
    std::function<void()> misuse;
    const char* expected;
  } cases[] = {
      {"second delete", [&] { env->DeleteGlobalRef(global); }, "deleted a second time"},
      {"delete of a local", [&] { env->DeleteGlobalRef(listener); }, "is not a global reference"},
      {"local on another thread", [&] {
         host().runJavaThread([&](JNIEnv* other) { EXPECT_EQ(other->NewGlobalRef(listener), nullptr); });
       }, "of thread"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host().clearRecords();
    c.misuse();
    expectOneViolation(c.expected);
  }
  EXPECT_EQ(host().liveGlobalRefs(listener), 0);
}

TEST_F(HostTest, EachCallFormRecordsTheCallOnlyForTheMethodsOwnClass) {
  const jlong first = -1, second = 2147483647, third = INT64_MIN;
  using Form = std::function<void(jobject, jmethodID)>;
  struct Case {
    const char* name;
    Form call;
  } cases[] = {
      // The slot itself: jni.h's C++ wrapper of CallVoidMethod goes through CallVoidMethodV.
      {"CallVoidMethod", [&](jobject o, jmethodID m) { env->functions->CallVoidMethod(env, o, m, first, second, third); }},
      {"CallVoidMethodV", [&](jobject o, jmethodID m) { callThroughV(env, o, m, first, second, third); }},
      {"CallVoidMethodA", [&](jobject o, jmethodID m) {
         jvalue args[3];
         args[0].j = first, args[1].j = second, args[2].j = third;
         env->CallVoidMethodA(o, m, args);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host().clearRecords();
    jobject mine = host().newListener(), other = host().newListener();
    jmethodID hit = methodOf(env, mine, "HotKeyHit", "(JJJ)V");
    ASSERT_NE(hit, nullptr);

    c.call(mine, hit);
    auto calls = host().listenerCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].listener, host().listenerId(mine));
    EXPECT_EQ(calls[0].method, "HotKeyHit");
    EXPECT_EQ(calls[0].args, (std::vector<jlong>{first, second, third}));
    EXPECT_EQ(calls[0].thread, GetCurrentThreadId());
    EXPECT_FALSE(calls[0].daemon);
    EXPECT_TRUE(host().violations().empty()) << joined(host().violations());

    c.call(other, hit);
    expectOneViolation("called on listener " + std::to_string(host().listenerId(other)));
    EXPECT_EQ(host().listenerCalls().size(), 1u);
  }
}

TEST_F(HostTest, NullTargetsAreReportedAndCallNothing) {
  jobject listener = host().newListener();
  jmethodID failed = methodOf(env, listener, "KBFailed", "()V");
  env->CallVoidMethod(nullptr, failed);
  env->CallVoidMethod(listener, nullptr);
  EXPECT_EQ(violationsWith("null object"), 1) << joined(host().violations());
  EXPECT_EQ(violationsWith("null jmethodID"), 1) << joined(host().violations());
  EXPECT_TRUE(host().listenerCalls().empty());
}

TEST_F(HostTest, WaitingSeesCallsFromOtherThreads) {
  jobject global = env->NewGlobalRef(host().newListener());
  jmethodID failed = methodOf(env, global, "KBFailed", "()V");
  std::thread caller = host().startJavaThread([&](JNIEnv* other) { other->CallVoidMethod(global, failed); });
  EXPECT_TRUE(host().waitForListenerCalls(1, int(hangLimitMs(5000))));
  caller.join();
  EXPECT_FALSE(host().waitForListenerCalls(2, 50));
  env->DeleteGlobalRef(global);
  EXPECT_TRUE(host().violations().empty()) << joined(host().violations());
}

TEST_F(HostTest, MissingMethodsAndThrowingListenersLeaveExceptionsPending) {
  struct Case {
    ListenerClass methods;
    const char* name;
    const char* signature;
    bool found;
  } cases[] = {
      {{true, true, true}, "HotKeyHit", "(JJJ)V", true},
      {{false, true, true}, "HotKeyHit", "(JJJ)V", false},
      {{true, true, true}, "HotKeyHit", "(J)V", false},
      {{true, false, true}, "KBFailed", "()V", false},
      {{true, true, false}, "KBDetached", "()V", false},
      {{true, true, false}, "KBFailed", "()V", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + c.signature);
    EXPECT_EQ(methodOf(env, host().newListener(c.methods), c.name, c.signature) != nullptr, c.found);
    EXPECT_EQ(host().pendingException(env), c.found ? "" : "java/lang/NoSuchMethodError");
    env->ExceptionClear();
  }
  EXPECT_TRUE(host().violations().empty()) << joined(host().violations());

  jobject thrower = host().newListener({}, true);
  env->CallVoidMethod(thrower, methodOf(env, thrower, "KBDetached", "()V"));
  EXPECT_EQ(host().listenerCalls().size(), 1u);
  EXPECT_EQ(host().pendingException(env), jnihost::kListenerException);
  EXPECT_TRUE(env->ExceptionCheck());
  EXPECT_TRUE(host().violations().empty()) << joined(host().violations());

  env->GetObjectClass(thrower);
  expectOneViolation(std::string("called while ") + jnihost::kListenerException + " is pending");
  env->ExceptionClear();
  EXPECT_FALSE(env->ExceptionCheck());
}

TEST_F(HostTest, UnimplementedSlotsAreReportedByName) {
  jobject listener = host().newListener();
  jmethodID hit = methodOf(env, listener, "HotKeyHit", "(JJJ)V");
  struct Case {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"DefineClass", [&] { EXPECT_EQ(env->DefineClass("x/Y", nullptr, nullptr, 0), nullptr); }},
      {"PushLocalFrame", [&] { EXPECT_EQ(env->PushLocalFrame(4), 0); }},
      {"GetStringUTFLength", [&] { EXPECT_EQ(env->GetStringUTFLength(nullptr), 0); }},
      {"CallLongMethod", [&] {
         EXPECT_EQ(env->functions->CallLongMethod(env, listener, hit, jlong{1}, jlong{2}, jlong{3}), 0);
       }},
      {"CallDoubleMethodA", [&] { EXPECT_EQ(env->CallDoubleMethodA(listener, hit, nullptr), 0.0); }},
      {"DestroyJavaVM", [&] { EXPECT_EQ(vm->DestroyJavaVM(), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host().clearRecords();
    c.call();
    expectOneViolation(std::string(c.name) + " (thread");
    EXPECT_TRUE(host().listenerCalls().empty());
  }
}

TEST_F(HostTest, DaemonAndPlainAttachAreToldApart) {
  for (bool daemon : {false, true}) {
    SCOPED_TRACE(daemon ? "daemon" : "plain");
    struct Seen {
      jint attach = JNI_ERR, again = JNI_ERR, detachedGetEnv = JNI_OK;
      bool sameEnv = false, attached = false, isDaemon = false, listed = false, listedNonDaemon = false;
      bool attachedAfterDetach = true;
      ThreadId thread = 0;
    } seen;
    jobject global = env->NewGlobalRef(host().newListener());
    jmethodID failed = methodOf(env, global, "KBFailed", "()V");
    host().clearRecords();
    std::thread([&] {
      seen.thread = GetCurrentThreadId();
      auto contains = [&](const std::vector<ThreadId>& ids) {
        return std::find(ids.begin(), ids.end(), seen.thread) != ids.end();
      };
      JNIEnv *own = nullptr, *second = nullptr;
      seen.attach = daemon ? vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&own), nullptr)
                           : vm->AttachCurrentThread(reinterpret_cast<void**>(&own), nullptr);
      // A second attach of the other kind changes nothing.
      seen.again = daemon ? vm->AttachCurrentThread(reinterpret_cast<void**>(&second), nullptr)
                          : vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&second), nullptr);
      seen.sameEnv = own && own == second;
      seen.attached = host().isAttached(seen.thread);
      seen.isDaemon = host().isDaemon(seen.thread);
      seen.listed = contains(host().attachedThreadsBesidesCallers());
      seen.listedNonDaemon = contains(host().nonDaemonThreadsBesidesCallers());
      own->CallVoidMethod(global, failed);
      vm->DetachCurrentThread();
      seen.attachedAfterDetach = host().isAttached(seen.thread);
      void* none = nullptr;
      seen.detachedGetEnv = vm->GetEnv(&none, JNI_VERSION_1_8);
    }).join();
    EXPECT_EQ(seen.attach, JNI_OK);
    EXPECT_EQ(seen.again, JNI_OK);
    EXPECT_TRUE(seen.sameEnv);
    EXPECT_TRUE(seen.attached);
    EXPECT_EQ(seen.isDaemon, daemon);
    EXPECT_TRUE(seen.listed);
    EXPECT_EQ(seen.listedNonDaemon, !daemon);
    EXPECT_FALSE(seen.attachedAfterDetach);
    EXPECT_EQ(seen.detachedGetEnv, JNI_EDETACHED);
    auto calls = host().listenerCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].thread, seen.thread);
    EXPECT_EQ(calls[0].daemon, daemon);
    env->DeleteGlobalRef(global);
    EXPECT_TRUE(host().violations().empty()) << joined(host().violations());
  }
}

TEST_F(HostTest, CallersAreNotListedAndCannotBeDetached) {
  host().runJavaThread([&](JNIEnv*) {
    EXPECT_TRUE(host().isAttached(GetCurrentThreadId()));
    EXPECT_TRUE(host().attachedThreadsBesidesCallers().empty());
    EXPECT_EQ(vm->DetachCurrentThread(), JNI_ERR);
    EXPECT_TRUE(host().isAttached(GetCurrentThreadId()));
  });
  EXPECT_TRUE(host().attachedThreadsBesidesCallers().empty());
  expectOneViolation("cannot be detached");
}

TEST_F(HostTest, ScriptedFaults) {
  for (bool daemon : {false, true}) {
    SCOPED_TRACE(daemon ? "daemon" : "plain");
    daemon ? host().setAttachAsDaemonFails(true) : host().setAttachFails(true);
    std::thread([&] {
      static JNIEnv sentinel{};
      JNIEnv* own = &sentinel;
      auto attach = daemon ? vm->functions->AttachCurrentThreadAsDaemon : vm->functions->AttachCurrentThread;
      auto other = daemon ? vm->functions->AttachCurrentThread : vm->functions->AttachCurrentThreadAsDaemon;
      EXPECT_EQ(attach(vm, reinterpret_cast<void**>(&own), nullptr), JNI_ERR);
      EXPECT_EQ(own, nullptr);
      EXPECT_FALSE(host().isAttached(GetCurrentThreadId()));
      EXPECT_EQ(other(vm, reinterpret_cast<void**>(&own), nullptr), JNI_OK);
      vm->DetachCurrentThread();
    }).join();
    host().setAttachFails(false);
    host().setAttachAsDaemonFails(false);
  }

  jobject listener = host().newListener();
  host().failNextNewGlobalRef();
  EXPECT_EQ(env->NewGlobalRef(listener), nullptr);
  jobject global = env->NewGlobalRef(listener);
  EXPECT_NE(global, nullptr);
  env->DeleteGlobalRef(global);

  host().setGetStringUTFCharsFails(true);
  EXPECT_EQ(env->GetStringUTFChars(host().newString("path"), nullptr), nullptr);
  EXPECT_EQ(host().pendingException(env), "java/lang/OutOfMemoryError");
  env->ExceptionClear();
  host().setGetStringUTFCharsFails(false);
  EXPECT_TRUE(host().violations().empty()) << joined(host().violations());
}

TEST_F(HostTest, StringCharsAreTheExactBytesAndMustBeReleasedOnce) {
  const std::string bytes = "C:\\Pr\xC3\xBC" "fung\\x\xC0\x80" "y";  // modified UTF-8, NUL as C0 80
  jstring str = host().newString(bytes);
  jboolean isCopy = JNI_FALSE;
  const char* chars = env->GetStringUTFChars(str, &isCopy);
  ASSERT_NE(chars, nullptr);
  EXPECT_EQ(std::string(chars), bytes);
  EXPECT_EQ(host().unreleasedStringChars(), 1);
  EXPECT_EQ(host().leaks().size(), 1u);

  env->ReleaseStringUTFChars(str, chars);
  EXPECT_EQ(host().unreleasedStringChars(), 0);
  EXPECT_TRUE(host().violations().empty()) << joined(host().violations());
  env->ReleaseStringUTFChars(str, chars);
  expectOneViolation("was not handed out");
}

TEST(NativeLibrary, FindsNativesUnderTheJvmsNames) {
  jnihost::NativeLibrary lib(std::wstring(L"host_probe.dll"));
#ifdef _WIN64
  const char* decorated = "Java_x_y_z";
#else
  const char* decorated = "_Java_x_y_z@8";
  EXPECT_EQ(lib.symbol("Java_x_y_z"), nullptr) << "the probe must export the decorated name only";
#endif
  EXPECT_NE(lib.symbol(decorated), nullptr);
  EXPECT_EQ(lib.findNative("x.y", "z", 8), lib.symbol(decorated));
  EXPECT_EQ(lib.findNative("x.y", "w", 16), lib.symbol("Java_x_y_w"));
  EXPECT_NE(lib.symbol("Java_x_y_w"), nullptr);

  auto w = lib.native<jlong(JNICALL*)(JNIEnv*, jclass, jlong)>("x.y", "w", 16);
  EXPECT_EQ(w(host().env(), host().receiver(), jlong{1} << 40), (jlong{1} << 40) + 1);
  EXPECT_EQ(lib.plain<int(__cdecl*)(int)>("probe_twice")(21), 42);
  EXPECT_EQ(jnihost::NativeLibrary::jniName("com.morvane.a_b", "do_it"), "Java_com_morvane_a_1b_do_1it");

  struct Missing {
    std::function<void()> lookup;
    const char* message;
  } missing[] = {
      {[&] { lib.native<jlong(JNICALL*)(JNIEnv*, jclass)>("x.y", "none", 8); }, "Java_x_y_none"},
      {[&] { lib.native<jlong(JNICALL*)(JNIEnv*, jclass)>("x.y", "z", 12); }, "argument bytes"},
      {[&] { lib.plain<int(__cdecl*)(int)>("probe_thrice"); }, "probe_thrice"},
  };
  for (const Missing& m : missing) {
    try {
      m.lookup();
      ADD_FAILURE() << "no error for " << m.message;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(m.message), std::string::npos) << e.what();
    }
  }
}

TEST_F(HostTest, DiagnosticsOfACheckedLibraryReachTheHost) {
  jnihost::NativeLibrary lib(std::wstring(L"host_probe.dll"));
  auto z = lib.native<jlong(JNICALL*)(JNIEnv*, jclass)>("x.y", "z");
  EXPECT_EQ(z(env, host().receiver()), 42);
  auto diagnostic = host().findDiagnostic("z(): probe");
  ASSERT_TRUE(diagnostic);
  EXPECT_EQ(diagnostic->level, "info");
  EXPECT_EQ(diagnostic->code, E_FAIL);
  EXPECT_EQ(diagnostic->thread, GetCurrentThreadId());
  EXPECT_EQ(diagnostic->env, env);
  EXPECT_TRUE(host().violations().empty()) << joined(host().violations());

  // Logging with another thread's environment is misuse like any other.
  std::thread([&] { z(env, host().receiver()); }).join();
  EXPECT_EQ(host().countDiagnostics("z(): probe"), 2);
  expectOneViolation("logDiagnostic");
}

}  // namespace
