// The update engine: brings the game folder into line with the distribution
// server and decides whether the game may start.
#pragma once

// 1: the game may start; 0: it must not (the failure text says why);
// -1: the launcher replaced itself and started its new copy.
int RunUpdate(void);
