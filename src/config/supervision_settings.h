// The supervision settings in core.xml: `Vgil`/`Supervision`.
//
//   <Supervision StallMs="2000" AccountingSeconds="60"/>
//
// `StallMs`: a plugin call running this long is logged as stalled (0: no
// stall watch; default 2000). `AccountingSeconds`: the period of the plugin
// accounting document (0: published only on request; default 60). The element
// is the operator's: the core reads it at start and writes it back unchanged
// whenever it rewrites core.xml. Without it core.xml is written as ever.
// Main thread at start; the kept copy is only read afterwards.
#ifndef DVRCORE_CONFIG_SUPERVISION_SETTINGS_H
#define DVRCORE_CONFIG_SUPERVISION_SETTINGS_H

#include <tinyxml.h>

#include <memory>

class dvrcore;

constexpr const char* SUPERVISION_ELEMENT = "Supervision";

// Applies `vgil`'s Supervision element, if any, and keeps a copy of it.
void ReadSupervisionSettings(dvrcore& core, const TiXmlElement& vgil);

// Appends the kept copy to the file's root; returns it (nullptr without one)
// so that the published document can leave it out again.
TiXmlNode* WriteSupervisionSettings(const dvrcore& core, TiXmlElement& root);

#endif  // DVRCORE_CONFIG_SUPERVISION_SETTINGS_H
