#include "log_diagnostic.h"

// The shipped libraries write no diagnostics anywhere.
void logDiagnostic(JNIEnv*, jobject, const char*, const char*, HRESULT) {}
