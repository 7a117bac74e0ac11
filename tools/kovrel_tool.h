// The subcommands of the kovrel tool. Each takes the arguments after its own
// name (argv[0] is the subcommand) and returns the process exit status.
#pragma once

int kovrel_sim_main(int argc, char **argv);
int kovrel_invoke_main(int argc, char **argv);
int kovrel_diff_main(int argc, char **argv);
