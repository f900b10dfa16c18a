#pragma once
// The program's embedded files: the manual (":/helpdoc"), its picture (":/help/unblock.png") and
// the program icon (":/orvane.png"). They are compiled into the help library and registered when
// the program loads; this call makes sure of it (the help windows make it themselves) and does
// nothing when they are registered already.
void InitOrvaneResources();
