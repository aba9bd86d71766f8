// OpenSSL's process-wide set-up, made once when the program is loaded: before main, before
// any static object of the program is made, and so before any other use of the library.
//
// The set-up leaves out the library's exit-time cleanup. That cleanup runs from an atexit
// handler on the thread that returns from main (or calls exit) and frees the library's
// global locks and tables, while the dispatch pool's workers go on running until the process
// is gone: a socket that is still closing on a worker (a peer's end of stream, a posted
// disconnect) frees its TLS context through locks that are being freed under it. Without the
// cleanup the library's state stays whole until the process ends, and the system takes back
// its memory then.
//
// Nobody needs to call anything for it: the loader runs it first. Every program that links
// the platform layer carries it (the link asks for its symbol, see src/CMakeLists.txt), and a
// program built from single sources with libcrypto lists OpenSslSetup.cpp among them.
#pragma once

extern "C" {

// The set-up itself, run by the loader. Calling it again changes nothing. Only the library's
// base set-up is made here: its strings, its configuration and its TLS part come on first use,
// as they would without it.
//
// The priority stands here, on the first declaration the compiler sees: GCC takes a load-time
// function's priority from there, and one written only on the definition, after a declaration
// without it, is dropped without a word. The function then lands among the ordinary static
// constructors and runs wherever the link puts it, after those of every object linked before
// the platform layer.
__attribute__((constructor(101))) void pellix_openssl_set_up();

// Whether the set-up has run. Load-time code of other files asks it to see that the set-up
// came first.
bool pellix_openssl_was_set_up();

}
