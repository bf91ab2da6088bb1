/* Machine-dependent JNI types for Windows (x86 and x64), as the Windows JDK defines them. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* Each library lists its exports in a module-definition file, which gives the 32-bit stdcall
   names the decoration the JVM looks up (_Name@N). A dllexport here would add a second,
   differently decorated copy of every name, so JNIEXPORT stays empty. */
#define JNIEXPORT
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
