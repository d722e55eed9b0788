// Disconnect report retention: trims AppDir\reports at every start, and the
// isolated self-test of that trimming.
#pragma once

void DR_RetainReports(const char* base);

// Non-zero when every case of the self-test passed.
int DR_RunRetentionSelfTest(void);
