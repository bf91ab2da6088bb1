// The probe library of the host's tests: natives as a JNI library has them, and a diagnostic.
#include "log_diagnostic.h"

extern "C" {

jlong JNICALL Java_x_y_z(JNIEnv* env, jclass) {
  logDiagnostic(env, "info", "z(): probe", E_FAIL);
  return 42;
}

jlong JNICALL Java_x_y_w(JNIEnv*, jclass, jlong value) { return value + 1; }

int __cdecl probe_twice(int value) { return 2 * value; }

}
