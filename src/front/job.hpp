// One job from the argument echo on, shared by the front ends: the console
// program (main.cpp) and the web page (main_web.cpp). Each front end reads
// its own arguments and asks its own questions; what goes to the box and
// what is printed from the echo line on is decided here, once.
#pragma once

#include <cstddef>

// Exit statuses (see main.cpp).
inline constexpr int exit_done = 0;
inline constexpr int exit_interrupted = 1;
inline constexpr int exit_failed = 2;
inline constexpr int exit_differs = 3;

// One job from the argument echo on: job is "s", "l", "v" or an image's
// path, list the list's path or nullptr for the default. Returns the exit
// status.
[[nodiscard]] int run_job(const char* port_name, const char* job, const char* list);

// The load of a person at the keyboard: first the box's own list is saved
// into copy_path (the name safety_copy_path claimed), then list is loaded.
// A safety copy that fails stops the load before anything is written into
// the box, and the claimed file is removed. Each of the two prints its
// argument echo as from the command line. Returns the exit status.
[[nodiscard]] int run_load_with_safety_copy(const char* port_name, const char* list,
                                            const char* copy_path);

// The safety copy's file name for a load started now, in the folder of
// next_to (a path; "" or a bare name: the current folder):
// "senderl-sicherung-JJJJ-MM-TT-hhmm.cxf". A file of that name already there
// (a second load within the minute) is never replaced: "-2", "-3", ... are
// added before ".cxf" until the name is free. The free name is claimed at
// once as an empty file (file_claim_new), so that a run beside this one
// cannot pick it too; run_load_with_safety_copy ends the claim. 0 when the
// name does not fit or no name up to "-999" is free.
[[nodiscard]] int safety_copy_path(const char* next_to, char* path, std::size_t capacity);

// Prints the key prompt and waits for a key; key_prompt_waited() is 1 after.
void key_prompt_wait();
[[nodiscard]] int key_prompt_waited();

// While a dropped file's job runs, a failure that ends with the key prompt
// leaves it to the caller: defer_key_prompt(1) before the job,
// defer_key_prompt(0) after, then take_owed_key_prompt() says whether the
// job's failure owed the prompt.
void defer_key_prompt(int on);
[[nodiscard]] int take_owed_key_prompt();

// What a file given alone is, from its first bytes: a channel list by its
// signature or by its name (a damaged list then gets the load's refusal), a
// firmware image by the header its update checks. Only a plain file is
// opened.
enum class dropped_file { other, list, image };
[[nodiscard]] dropped_file kind_of_dropped(const char* path);

// Shows what the file is (a list's text and counts, an image's size); 0
// when it is a list the load refuses or the file cannot be read.
[[nodiscard]] int show_dropped(const char* path, dropped_file kind);
