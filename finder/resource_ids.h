// Numbers of the resources the finder's programs carry, shared by their
// resource script and their code.
#pragma once

// The program's icon. The first icon group of a program file is the one the
// shell shows for it.
#define KELVANE_IDI_FINDER 1
