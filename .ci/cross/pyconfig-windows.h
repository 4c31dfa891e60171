/* The configuration a Windows x86-64 build of CPython presents to extension
   modules, for the compile check of the cross lane only (.ci/run): the Python
   headers of the CI interpreter are copied and this file stands in for their
   Linux pyconfig.h. It sets what those headers branch on: the platform macros,
   LLP64 type sizes (long is 4 bytes), Windows threads, and imported symbols.
   Nothing here is linked or run. */
#ifndef FENWA_CI_WINDOWS_PYCONFIG_H
#define FENWA_CI_WINDOWS_PYCONFIG_H

#if !defined(_WIN64)
#error "this configuration describes 64-bit Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define PLATFORM "win32"

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8

typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX 9223372036854775807LL

#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDLIB_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_FCNTL_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1
#define HAVE_IO_H 1
#define HAVE_CLOCK 1
#define HAVE_STRFTIME 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define HAVE_DYNAMIC_LOADING
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_LITTLE_ENDIAN 1

#endif
