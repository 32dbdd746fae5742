// zentroped -t: the configuration and its list files checked without
// starting anything.
#ifndef ZENTROPED_CONFIG_CHECK_H
#define ZENTROPED_CONFIG_CHECK_H

#include <string>
#include <vector>

struct config_problem {
	std::string file;  // the file the problem is in
	unsigned line = 0; // 1-based; 0 when no line applies
	std::string text;  // what is wrong, no newline
	bool error = true; // false: a warning, the start would still go on
};

// Reads the configuration at @path and every list file it names exactly as
// a start would, but goes on past each problem; nothing is written anywhere.
std::vector<config_problem> config_check(const std::string &path);

// "file:line: text" ("file: text" without a line), "warning: " before
// warnings' text.
std::string problem_text(const config_problem &p);

#endif
