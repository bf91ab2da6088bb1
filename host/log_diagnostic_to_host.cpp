#include "log_diagnostic.h"

// The checked build of each library hands its diagnostics to the checking JNI host that the
// program embeds; a program without one exports nothing, and the diagnostic goes nowhere.
namespace {

using RecordDiagnostic = void(__cdecl*)(JNIEnv*, const char*, const char*, HRESULT);

RecordDiagnostic hostRecorder() {
  FARPROC found = GetProcAddress(GetModuleHandleW(nullptr), "jnihost_record_diagnostic");
  return reinterpret_cast<RecordDiagnostic>(reinterpret_cast<void*>(found));
}

}  // namespace

void logDiagnostic(JNIEnv* env, const char* level, const char* message, HRESULT code) {
  static const RecordDiagnostic record = hostRecorder();
  if (record) record(env, level, message, code);
}

// The host has no Java logging: a listener's exception stays described and cleared, as shipped.
void logListenerException(JNIEnv*, const char*, jthrowable) {}
void prepareDiagnostics(JNIEnv*) {}
