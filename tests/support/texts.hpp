// The exact bytes of what the program prints and of the commands it sends,
// spelled out once for every test. The tests compare against these and never
// against the program's own strings, so that a changed message shows up as a
// failing test.
#pragma once

#include <cstddef>
#include <string>

namespace msg {

inline const std::string banner = "Halvoran update 1.04\n";
inline const std::string prompt = "Weiter mit beliebiger Taste!\n";
inline const std::string silent = "Die Box antwortet nicht!\n";
inline const std::string retry = "Neuer Versuch.\n";
inline const std::string no_connection = "Es konnte keine Verbindung zur Box hergestellt werden!\n";
inline const std::string unwritable = "async_io failed\n";
inline const std::string com_error = "\ncom error\n";
inline const std::string wrong_line = "wrong_line\n";
inline const std::string wrong_lined = "wrong_lined\n";
inline const std::string block_length = "Blocklaenge falsch\n";
inline const std::string crc_error = "crc fehler\n";
inline const std::string store_error = "speicher fehler\n";
inline const std::string saving = "\nSenderliste speichern ";
inline const std::string loading = "Senderliste auf die Box laden \n";
inline const std::string no_fav = "FAV-Len        =    0\n";
inline const std::string streaming = "Daten werden gesendet: ";
inline const std::string please_wait = "Bitte warten!\n";
inline const std::string not_an_image = "Keine Halvoran Datei!\n";
// The loader answered the connection check, and a list job refused for it.
inline const std::string in_loader = "Die Box ist im Lader: ein Update wurde nicht beendet.\n";
inline const std::string list_needs_system =
    "Senderlisten erst nach dem Update: das Update mit derselben Datei erneut starten, die Box "
    "nicht ausschalten.\n";
// The percentage display at its end.
inline const std::string all_done = "100%\b\b\b\b";

// The simulator's default system as the connection check prints it.
inline const std::string old_version = "alte 1.00 (2025-11-03)\n";
// The info text of the lists the tests build (stamped 2026-01-02 03:04),
// and the line the load prints for it.
inline const std::string list_info = "velto update 1.02 2026-01-02 03:04  ";
inline const std::string info_line = "Infotext: " + list_info + "\n";

// The argument echo: port and job, a space after the second argument when
// there is no third.
inline std::string echo(const std::string& port, const std::string& second,
                        const std::string& third = "")
{
    return "Parameter: " + port + " " + second + " " + third + "\n\n";
}
// The new system's version after a firmware update.
inline std::string new_version(const std::string& version) { return "neue " + version + "\n"; }
inline std::string cannot_open(const std::string& port)
{
    return "Kann " + port + " nicht oeffnen!\n";
}
// The line after "Kann ... nicht oeffnen!" that names the cause.
inline const std::string port_missing =
    "Diesen Port gibt es nicht: Namen pruefen, ist der Adapter eingesteckt?\n";
inline const std::string port_not_serial =
    "Das ist kein serieller Port: den Namen eines seriellen Ports angeben.\n";
inline const std::string port_permission =
    "Keine Berechtigung fuer den Port: Benutzer in die Gruppe dialout aufnehmen "
    "(sudo usermod -aG dialout $USER) und neu anmelden.\n";
inline const std::string port_busy = "Der Port ist belegt: ein anderes Programm oder ein anderer "
                                     "Lauf von halvoranupdate hat ihn offen; erst beenden.\n";
// The line after a job's message on a line that stopped taking data or
// went away.
inline const std::string line_stalled =
    "Der Port nimmt keine Daten mehr an: Adapter und Kabel pruefen, Adapter neu einstecken.\n";
inline const std::string line_gone =
    "Der Port ist weg: der Adapter wurde abgezogen. Wieder einstecken und neu starten.\n";
// The usage text, up to and including the key prompt.
inline const std::string usage =
    "Parameter fehlt!\n"
    "halvoranupdate.exe <com> <Datei>\n"
    "z.B. halvoranupdate.exe com1 firmware.zova\n"
    "\nhalvoranupdate.exe com1 s Speichert die Senderliste auf den PC.\n"
    "\nhalvoranupdate.exe com1 l Laedt die Senderliste auf die Box.\n"
    "\nhalvoranupdate.exe com1 v Vergleicht die Senderliste mit der Box.\n"
    "\nOder eine Senderliste oder ein Firmware-Image auf halvoranupdate.exe ziehen.\n" +
    prompt;
// A file dropped onto the program: what it is, the ports, the questions.
inline std::string dropped_list(const std::string& path) { return "Senderliste " + path + "\n"; }
inline std::string list_counts(unsigned sat, unsigned tp, unsigned tv, unsigned radio, unsigned fav)
{
    return "Satelliten " + std::to_string(sat) + ", Transponder " + std::to_string(tp) + ", TV " +
           std::to_string(tv) + ", Radio " + std::to_string(radio) + ", Favoriten " +
           std::to_string(fav) + "\n";
}
inline std::string dropped_image(const std::string& path, std::size_t size)
{
    return "Firmware " + path + ", " + std::to_string(size) + " Bytes\n";
}
inline const std::string choose_port =
    "Port waehlen (Nummer und Eingabetaste, nur Eingabetaste bricht ab): ";
inline const std::string choose_list_job =
    "l = auf die Box laden, v = mit der Box vergleichen, andere Taste bricht ab: ";
inline const std::string confirm_image = "Firmware auf die Box laden? (j/n) ";
inline const std::string cancelled = "Abgebrochen.\n";
// The last line of a dropped file's job.
inline const std::string dropped_loaded = "Die Senderliste ist jetzt auf der Box.\n";
inline const std::string dropped_same = "Die Senderliste stimmt mit der Box ueberein.\n";
inline const std::string dropped_differs = "Die Senderliste weicht von der Box ab.\n";
inline const std::string dropped_updated = "Die Box wurde auf die neue Version aktualisiert.\n";
inline const std::string dropped_failed = "Der Auftrag ist fehlgeschlagen, siehe oben.\n";
// A dropped list's load first saves the box's list: where to, and that the
// load did not start when that failed.
inline std::string safety_copy_where(const std::string& path)
{
    return "Sicherung der Senderliste der Box nach " + path + "\n";
}
inline const std::string safety_copy_failed =
    "Die Sicherung ist fehlgeschlagen: die Senderliste wurde nicht auf die Box geladen.\n";
inline const std::string ports_none = "Keine seriellen Ports gefunden.\n";
inline std::string failed_to_open(const std::string& path)
{
    return "failed to open file " + path + "!\n";
}
inline std::string wrong_format(const std::string& path)
{
    return "Datei '" + path + "' hat nicht das richtige Format\n";
}
inline std::string info_too_long(const std::string& path)
{
    return "Datei '" + path + "' hat einen zu langen Infotext\n";
}

} // namespace msg

namespace cmd {

inline const std::string status = "501";
inline const std::string open_transfer = "503 18";
inline const std::string close_transfer = "503 25";
inline const std::string loader = "902";
inline const std::string restart = "030";
inline const std::string block_ok = "911 0";
// The info queries of the four tables and the channel split.
inline const std::string sat_info = "500 2 1";
inline const std::string tp_info = "500 1 1";
inline const std::string chan_info = "500 0 1";
inline const std::string split_info = "500 0 5";
inline const std::string fav_info = "500 3 1";
inline const std::string store = "500 0 4 1";

} // namespace cmd
