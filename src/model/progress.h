#pragma once

#include <QtGlobal>

#include <functional>

// How far a long piece of work has come: `done` of `total` bytes. The core's long loops (a load's scan,
// a writer, a comparison) call it between steps of tens of megabytes when a front end gives one; an empty
// one costs a test per step.
using ProgressCallback = std::function<void(qint64 done, qint64 total)>;
