#pragma once

// Subcommands of pelkan-cli. Each takes the arguments after its own name and returns the
// process exit code: 0 done, 1 the work failed (message on stderr), 2 bad arguments.
namespace pelkan::cli {

int RunInspect(int argc, char** argv);
int RunGenerate(int argc, char** argv);
int RunDevices(int argc, char** argv);
int RunCapture(int argc, char** argv);
int RunSchedule(int argc, char** argv);
int RunCheck(int argc, char** argv);
int RunEpg(int argc, char** argv);
int RunRule(int argc, char** argv);
int RunHook(int argc, char** argv);
int RunWake(int argc, char** argv);
int RunService(int argc, char** argv);
int RunRecordings(int argc, char** argv);
int RunDisk(int argc, char** argv);
int RunHttp(int argc, char** argv);

}  // namespace pelkan::cli
