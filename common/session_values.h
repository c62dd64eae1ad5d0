/*
 * What zorvo-recolour.exe and colour-backup.exe both know of the sessions,
 * stated once in C so that the C++ core and the C backup program include
 * the same text and cannot drift apart: the sessions key below
 * HKEY_CURRENT_USER and the colour values' names, in index order.
 */
#ifndef COMMON_SESSION_VALUES_H
#define COMMON_SESSION_VALUES_H

#define SESSIONS_KEY_PATH "Software\\Tessaloquin\\Zorvo\\Sessions"

#define COLOUR_VALUE_COUNT 22
/* NAME(text) once for each colour value, Colour0 first. */
/* clang-format off */
#define FOR_EACH_COLOUR_VALUE_NAME(NAME)                                                              \
  NAME("Colour0") NAME("Colour1") NAME("Colour2") NAME("Colour3") NAME("Colour4") NAME("Colour5")     \
  NAME("Colour6") NAME("Colour7") NAME("Colour8") NAME("Colour9") NAME("Colour10") NAME("Colour11")  \
  NAME("Colour12") NAME("Colour13") NAME("Colour14") NAME("Colour15") NAME("Colour16")               \
  NAME("Colour17") NAME("Colour18") NAME("Colour19") NAME("Colour20") NAME("Colour21")
/* clang-format on */

#endif
