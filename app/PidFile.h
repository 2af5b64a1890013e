// The process-id file named by -PID=: written once start-up has its logger,
// removed at the end of the process. logrotate's postrotate step reads it to
// send SIGHUP where no service manager knows the main process. Start-up and
// main() call these on the main thread.
#pragma once

#include <string>

// Writes our process id and a line break to `fileName` (replacing a file
// left by a previous run). Empty name: nothing, true. False with `fault`
// set to the system's reason when the file cannot be written.
bool WritePidFile(const std::string& fileName, std::string& fault);
// Removes the file WritePidFile wrote, if it still holds our id (a second
// server started on the same name owns it now otherwise).
void RemovePidFile(const std::string& fileName);
