// Confining the running tool to what its read loop needs.
#pragma once

// From here on this process takes no new privileges and runs under a
// system-call filter that allows only what the read loop, the walk and the
// line writer call: reading the notification descriptor, listing /proc and
// reading its links and command lines, opening only for reading, writing the
// lines, memory that is never executable, and signals only to itself. Any
// other call, or a call of another architecture's numbering, ends the process
// at once by SIGSYS, before it takes effect. False, with errno set, when the
// kernel cannot confine it.
bool confineToTheReadLoop();
