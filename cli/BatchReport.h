// What --all and --each print of the modules they found: a line or a JSON
// object each, why one failed, and the exit status of the batch.
#pragma once

#include "CommandLine.h"
#include "ModuleBatch.h"
#include "PortDiagnosis.h"

#include <QList>

namespace cli {

// The modules of --all, each on its line or in one JSON array, and a summary
// on stderr that names the ports without a module and those out of reach.
// The exit status: a module that stopped answering outweighs a read-back
// that differs, which outweighs a module not written; ports out of reach
// make no whole success.
int printBatch(const ModuleBatch& batch, const QList<PortDiagnosis>& outOfReach,
               const Settings& settings);

// "address WUSB is also on COM6", when other modules held with this one
// have its address; empty otherwise.
QString sameAddressText(const BatchModule& module);

// Why a module of --all or --each failed or was not written; empty when it
// was written and verified, or only found.
QString ModuleResultText(const BatchModule& module, const Settings& settings);

// One module of --each: its line, or its JSON line, at once, for a log kept
// as the line runs. False when it could not be written.
bool printLineModule(int number, const BatchModule& module, const Settings& settings);

} // namespace cli
