/* Machine-dependent part of the JNI headers for Windows (i686 and x86_64).
 * jni.h itself comes from Debian's OpenJDK package.
 *
 * On Windows, jint is a 32-bit long, jlong a 64-bit integer, and natives use
 * the standard-call convention (which x86_64 ignores). A library whose
 * exports a .def file names exactly (see qar_jni_exports) defines JNIEXPORT
 * empty, so that no second, compiler-decorated name is exported. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
