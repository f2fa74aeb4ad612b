// The environment of a gui test process: a private runtime directory, so that the
// single-instance socket of the windows made here never meets a running agent or another suite.
#pragma once

#include <QString>
