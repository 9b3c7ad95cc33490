// Every fixed text of the program, once: the messages it prints (msg) and
// the commands it sends to the box (cmd).
//
// Both are contracts. The box understands exactly these commands; users
// read the messages, the README and the manual page quote them, and scripts
// may match them. Change none of them without knowing who relies on it.
// Messages are German in ASCII (ae, oe, ue, ss) so that every Windows console
// code page shows them. Those with a conversion are printf formats; the
// compiler checks their arguments at every call.
#pragma once

namespace msg {

// The front end. The usage text names the Windows program on every
// platform: it is the text users know.
inline constexpr char banner[] = "Halvoran update %s\n";
inline constexpr char usage[] =
    "Parameter fehlt!\n"
    "halvoranupdate.exe <com> <Datei>\n"
    "z.B. halvoranupdate.exe com1 firmware.zova\n"
    "\nhalvoranupdate.exe com1 s Speichert die Senderliste auf den PC.\n"
    "\nhalvoranupdate.exe com1 l Laedt die Senderliste auf die Box.\n"
    "\nhalvoranupdate.exe com1 v Vergleicht die Senderliste mit der Box.\n"
    "\nOder eine Senderliste oder ein Firmware-Image auf halvoranupdate.exe ziehen.\n";
inline constexpr char parameters[] = "Parameter: %s %s %s\n\n";
inline constexpr char cannot_open_port[] = "Kann %s nicht oeffnen!\n";
// Why the port would not open, one line after cannot_open_port, then the
// serial ports this computer has.
inline constexpr char port_missing[] =
    "Diesen Port gibt es nicht: Namen pruefen, ist der Adapter eingesteckt?\n";
inline constexpr char port_permission[] =
    "Keine Berechtigung fuer den Port: Benutzer in die Gruppe dialout aufnehmen "
    "(sudo usermod -aG dialout $USER) und neu anmelden.\n";
inline constexpr char port_busy[] = "Der Port ist belegt: ein anderes Programm oder ein anderer "
                                    "Lauf von halvoranupdate hat ihn offen; erst beenden.\n";
inline constexpr char port_not_serial[] =
    "Das ist kein serieller Port: den Namen eines seriellen Ports angeben.\n";
inline constexpr char port_setup[] =
    "Der Port laesst sich nicht auf 115200 Baud 8N1 einstellen: anderen Port oder Adapter "
    "versuchen.\n";
inline constexpr char port_other[] =
    "Das Betriebssystem verweigert den Port: Namen und Adapter pruefen.\n";
// Why a job ended on a line that stopped taking data or went away, one line
// after the job's own message.
inline constexpr char line_stalled[] =
    "Der Port nimmt keine Daten mehr an: Adapter und Kabel pruefen, Adapter neu einstecken.\n";
inline constexpr char line_gone[] =
    "Der Port ist weg: der Adapter wurde abgezogen. Wieder einstecken und neu starten.\n";
inline constexpr char ports_present[] = "Vorhandene Ports: %s\n";
inline constexpr char ports_none[] = "Keine seriellen Ports gefunden.\n";
inline constexpr char key_prompt[] = "Weiter mit beliebiger Taste!\n";
// A file dropped onto the program (its only argument): what it is, the
// ports to choose from, one a line, and the questions before the job.
inline constexpr char dropped_list[] = "Senderliste %s\n";
inline constexpr char list_counts[] =
    "Satelliten %u, Transponder %u, TV %u, Radio %u, Favoriten %u\n";
inline constexpr char dropped_image[] = "Firmware %s, %llu Bytes\n";
inline constexpr char port_choice[] = "%3d  %s\n";
inline constexpr char choose_port[] =
    "Port waehlen (Nummer und Eingabetaste, nur Eingabetaste bricht ab): ";
inline constexpr char choose_list_job[] =
    "l = auf die Box laden, v = mit der Box vergleichen, andere Taste bricht ab: ";
inline constexpr char confirm_image[] = "Firmware auf die Box laden? (j/n) ";
// Ends the line of a one-key question: the key is not echoed.
inline constexpr char key_answered[] = "\n";
inline constexpr char cancelled[] = "Abgebrochen.\n";
// The last line of a dropped file's job: how it ended, in words. The load's
// percentage display leaves its line open ("100%" and four backspaces):
// progress_ended ends it first, so that nothing writes over it.
inline constexpr char progress_ended[] = "\n";
inline constexpr char dropped_loaded[] = "Die Senderliste ist jetzt auf der Box.\n";
inline constexpr char dropped_same[] = "Die Senderliste stimmt mit der Box ueberein.\n";
inline constexpr char dropped_differs[] = "Die Senderliste weicht von der Box ab.\n";
inline constexpr char dropped_updated[] = "Die Box wurde auf die neue Version aktualisiert.\n";
inline constexpr char dropped_failed[] = "Der Auftrag ist fehlgeschlagen, siehe oben.\n";
// A load at the keyboard first saves the box's own list: where it goes, and
// that the load did not start when that failed.
inline constexpr char safety_copy_where[] = "Sicherung der Senderliste der Box nach %s\n";
inline constexpr char safety_copy_no_name[] =
    "Fuer die Sicherung ist kein freier Dateiname zu finden.\n";
inline constexpr char safety_copy_failed[] =
    "Die Sicherung ist fehlgeschlagen: die Senderliste wurde nicht auf die Box geladen.\n";
// HALVORAN_TRACE names a file that cannot be opened: the run goes on
// without a trace.
inline constexpr char trace_unavailable[] = "Trace-Datei %s kann nicht geoeffnet werden!\n";

// The line and the connection check.
inline constexpr char box_silent[] = "Die Box antwortet nicht!\n";
inline constexpr char write_failed[] = "async_io failed\n";
inline constexpr char retry[] = "Neuer Versuch.\n";
inline constexpr char no_connection[] = "Es konnte keine Verbindung zur Box hergestellt werden!\n";
inline constexpr char old_version[] = "alte %s\n";
inline constexpr char wrong_make[] = "Fehler keine Halvoran Box!\n";
// The loader answered the connection check: an update was cut off.
inline constexpr char in_loader[] = "Die Box ist im Lader: ein Update wurde nicht beendet.\n";
// A channel-list job refused against the loader, before any table command.
inline constexpr char list_needs_system[] =
    "Senderlisten erst nach dem Update: das Update mit derselben Datei erneut starten, "
    "die Box nicht ausschalten.\n";

// Files, shared by the jobs.
inline constexpr char cannot_open_file[] = "failed to open file %s!\n";
inline constexpr char cannot_read_file[] = "failed to read file %s!\n";
inline constexpr char com_error[] = "\ncom error\n";

// The firmware update.
inline constexpr char not_an_image[] = "Keine Halvoran Datei!\n";
inline constexpr char image_too_large[] = "Datei %s ist zu gross!\n";
inline constexpr char sending_image[] = "Daten werden gesendet: ";
inline constexpr char image_unreadable[] = "\nfailed to read file %s!\n";
inline constexpr char please_wait[] = "Bitte warten!\n";
inline constexpr char new_version[] = "neue %s\n";

// The channel-list jobs. "wrong_lined" (for the first query of the save)
// and "wrong_line" are two different texts on purpose: users have reported
// them as they are, and they tell which query failed.
inline constexpr char wrong_lined[] = "wrong_lined\n";
inline constexpr char wrong_line[] = "wrong_line\n";
inline constexpr char saving[] = "\nSenderliste speichern ";
inline constexpr char block_length_wrong[] = "Blocklaenge falsch\n";
inline constexpr char list_too_large[] = "Senderliste zu gross\n";
inline constexpr char slots_beyond_channels[] = "Die Box meldet %llu TV- und Radioplaetze, aber "
                                                "nur %u Kanaele: Senderliste nicht gespeichert\n";
inline constexpr char write_error[] = "Schreibfehler %s!\n";
inline constexpr char loading[] = "Senderliste auf die Box laden \n";
inline constexpr char info_text[] = "Infotext: %s\n";
inline constexpr char file_format_wrong[] = "Datei '%s' hat nicht das richtige Format\n";
inline constexpr char info_text_too_long[] = "Datei '%s' hat einen zu langen Infotext\n";
inline constexpr char file_damaged[] = "Datei '%s' ist zu kurz oder beschaedigt\n";
// The lowering lines keep their uneven spacing: users compare them with
// what they have seen before.
inline constexpr char fav_lowered[] = "FAV-Len        = %4u\n";
inline constexpr char sat_lowered[] = "sat anz   = %u\n";
inline constexpr char tp_lowered[] = "Trans anz    = %4u\n";
inline constexpr char tv_lowered[] = "TV    = %u\n";
inline constexpr char radio_lowered[] = "Radio = %u\n";
// The three record-size refusals are three different texts on purpose, as
// above: they tell which table did not fit.
inline constexpr char sat_format_wrong[] = "Falsches Format %u\n";
inline constexpr char tp_format_wrong[] = "format error\n";
inline constexpr char chan_format_wrong[] = "falsches format\n";
inline constexpr char crc_rejected[] = "crc fehler\n";
inline constexpr char store_failed[] = "speicher fehler\n";
// The verify: its opening in place of the load's, then one line per table
// the load would send, under these names.
inline constexpr char verifying[] = "Senderliste mit der Box vergleichen \n";
inline constexpr char table_same[] = "%s: gleich\n";
inline constexpr char table_differs[] = "%s: verschieden ab Eintrag %llu\n";
inline constexpr char name_satellites[] = "Satelliten";
inline constexpr char name_transponders[] = "Transponder";
inline constexpr char name_tv[] = "TV";
inline constexpr char name_radio[] = "Radio";
inline constexpr char name_favourites[] = "Favoriten";

} // namespace msg

namespace cmd {

// The box's status line, answered "999 OS <version>" (or a loader's 998).
inline constexpr char status[] = "501";
// The firmware loader: enter it, and restart the box once it has the image.
inline constexpr char enter_loader[] = "902";
inline constexpr char restart[] = "030";
// Opening and closing a table transfer: the box stops its own work on the
// tables in between.
inline constexpr char tables_open[] = "503 18";
inline constexpr char tables_close[] = "503 25";
// Table requests: "500 <table> 1" asks for count and record size, "500 0 5"
// for the TV and radio slot counts; "500 <table> 2 <first> <last>" reads and
// "500 <table> 3 <first> <last>" writes a range of records; "500 0 4 1"
// orders the box to store what was written.
inline constexpr char table_info[] = "500 %d 1";
inline constexpr char channel_split[] = "500 0 5";
inline constexpr char table_range[] = "500 %d %d %lld %lld";
inline constexpr char store[] = "500 0 4 1";
// Blocks: "911 0" acknowledges a block from the box; "910 H<length> H<crc> 0"
// announces one to it.
inline constexpr char block_ok[] = "911 0";
inline constexpr char block_announce[] = "910 H%lX H%lX 0";

} // namespace cmd
