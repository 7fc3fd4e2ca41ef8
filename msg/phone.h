// Phone numbers compared as the network writes them: a sender or a status
// report's recipient may name a phone internationally ("+4917...") that the
// register map holds nationally ("017..."), or the reverse.
#pragma once

// True when a and b are the same phone: equal digits (a leading '+' aside),
// or the same last nine digits when both have at least nine. Anything that is
// not a number (an alphanumeric sender, an empty slot) matches nobody.
bool phone_same(const char *a, const char *b);
