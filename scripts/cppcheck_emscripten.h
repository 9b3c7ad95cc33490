// For cppcheck (scripts/check.sh), which reads no system header: the
// emscripten macros that the web backends use, as declarations. The bodies
// of EM_JS and EM_ASYNC_JS functions are JavaScript, not C++.
#define EM_JS(ret, name, params, ...) ret name params;
#define EM_ASYNC_JS(ret, name, params, ...) ret name params;
#define EMSCRIPTEN_KEEPALIVE
