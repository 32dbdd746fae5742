// zentroped: installs the zentrope module carried in its own executable,
// pushes the configured rule lists and writes the block log until stopped;
// with -t only checks the configuration.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "config.h"
#include "config_check.h"
#include "daemon.h"
#include "system.h"
#include "version.h"

namespace {

struct options {
	std::string config = "./config/config.txt";
	bool check = false;
};

// 0 to go on, else the exit status.
int parse_options(int argc, char **argv, options *o)
{
	int opt;
	while ((opt = getopt(argc, argv, "f:tvh")) != -1) {
		switch (opt) {
		case 'f':
			o->config = optarg;
			break;
		case 't':
			o->check = true;
			break;
		case 'v':
			printf("%s\n", ZT_VERSION);
			return kExitUsage;
		default:
			print_usage(argv[0]);
			return kExitUsage;
		}
	}
	return 0;
}

// Reads what a start reads and touches nothing else: neither the module,
// the lock nor the logs.
int check(System *sys, const std::string &config)
{
	Status st = sys->enter("/opt/zentrope", &g_path_startup);
	if (!st.ok()) {
		fputs(st.message().c_str(), stderr);
		return kExitUsage;
	}
	std::string path = resolve_path(config);
	int errors = 0;
	for (const config_problem &p : config_check(path)) {
		fprintf(stderr, "%s\n", problem_text(p).c_str());
		errors += p.error;
	}
	if (errors) {
		fprintf(stderr, "zentroped: configuration %s: %d error%s\n", path.c_str(),
			errors, errors == 1 ? "" : "s");
		return kExitUsage;
	}
	printf("zentroped: configuration %s is ok\n", path.c_str());
	return kExitOk;
}

} // namespace

// A check needs no privilege, so the options come before the check for it.
int main(int argc, char **argv)
{
	std::unique_ptr<System> sys = real_system();
	options o;
	if (int r = parse_options(argc, argv, &o))
		return r;
	if (o.check)
		return check(sys.get(), o.config);
	Daemon d(sys.get());
	return d.run(o.config, argv[0]);
}
