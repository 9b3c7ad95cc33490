// halvoranupdate for the web page: the same jobs as the console program,
// called by the page (page.js) instead of a command line. The page picks
// the port and the files and asks its questions itself; from the argument
// echo on, each job runs exactly as the console program runs it
// (front/job.cpp), so it sends the same bytes and prints the same lines.
//
// The files live in the WebAssembly's in-memory file system, in the working
// folder files_folder: the page writes a picked file there under its own
// name and reads a saved list (and the trace) back from there.
#include "common/os.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "front/console.hpp"
#include "front/job.hpp"

#include <cstdio>
#include <cstdlib>
#include <emscripten.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char files_folder[] = "/dateien";

// The safety copy's name for the next load, kept for the page to read.
char copy_name[temp_path_capacity];

} // namespace

// What a picked or dropped file is, shown as the dropped-file flow shows it:
// 1 a list, 2 an image, 0 neither (nothing printed); negative (-1, -2) when
// the list is one that the load refuses or the image cannot be read (the
// reason printed).
extern "C" EMSCRIPTEN_KEEPALIVE int web_show_file(const char* name)
{
    const dropped_file kind = kind_of_dropped(name);
    if (kind == dropped_file::other)
        return 0;
    const int code = kind == dropped_file::list ? 1 : 2;
    return show_dropped(name, kind) ? code : -code;
}

// The name a load's safety copy would get now ("" when none is free).
extern "C" EMSCRIPTEN_KEEPALIVE const char* web_safety_copy_name()
{
    if (!safety_copy_path("", copy_name, sizeof copy_name))
        copy_name[0] = '\0';
    return copy_name;
}

// One job as the console program runs it: port is the name the echo line
// shows, job "s", "l", "v" or an image's name, list the list's name ("" for
// the default). A load with copy set ("" for none) first saves the box's
// list there. trace names the trace file ("" for none). Returns the exit
// status.
extern "C" EMSCRIPTEN_KEEPALIVE int web_run(const char* port, const char* job, const char* list,
                                            const char* copy, const char* trace)
{
    if (*trace != '\0')
        (void)setenv("HALVORAN_TRACE", trace, 1); // fails only without memory
    else
        (void)unsetenv("HALVORAN_TRACE");
    char* argv[] = {const_cast<char*>("halvoranupdate"), const_cast<char*>(port),
                    const_cast<char*>(job), const_cast<char*>(list), nullptr};
    const int argc = *list != '\0' ? 4 : 3;
    trace_start(HALVORAN_VERSION, argc, argv);
    const char* list_arg = *list != '\0' ? list : nullptr;
    const bool load = job[0] == 'l' && job[1] == '\0';
    const int status = load && *copy != '\0' ? run_load_with_safety_copy(port, list_arg, copy)
                                             : run_job(port, job, list_arg);
    return trace_exit(status);
}

// The page's start: the banner, once, as the console program prints it.
int main()
{
    console_setup();
    (void)mkdir(files_folder, 0755); // exists already when the page starts again
    if (chdir(files_folder) != 0)
        std::printf(msg::cannot_open_file, files_folder);
    std::printf(msg::banner, HALVORAN_VERSION);
    return 0;
}
