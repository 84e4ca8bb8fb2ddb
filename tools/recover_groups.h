// zel_recover's step groups (--until) and its --plan output: which maps a group may remove when
// it ends, the journal that takes the groups before a group as complete, and the plan of a stage
// as runs of frames.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "stages/journal.h"
#include "stages/referencestages.h"

namespace zelrecover {

// The steps of the group that ends with `until` (see --until) whose maps only the group before
// it read from other shards: once every shard of that group has ended, a shard of this one may
// remove them for its own frames. The groups: sweep, refine, init, bo1 .. boP, bo.
std::vector<std::string> StepsReadBefore(const std::string& until, int passes);

// The first step a group computes when the groups before it are complete.
std::string FirstStepOf(const std::string& until);

// For --plan with --until: the maps of the steps before the group's count as kept (the groups
// before it are taken as complete); everything else is asked of the manifest.
class AssumeGroupsBefore : public ZelStepJournal {
  public:
    AssumeGroupsBefore(ZelManifest& journal, const std::string& until)
        : manifest(journal), firstStep(Index(FirstStepOf(until))) {}
    bool Done(const std::string& step, int frame) const override {
        return (Index(step) < firstStep && step != "init") || manifest.Done(step, frame);
    }
    bool Save(const std::string&, int, const std::vector<float>&, const std::vector<uint8_t>*,
              std::string& error) override {
        error = "planning only";
        return false;
    }
    bool Load(const std::string&, int, std::vector<float>&, std::vector<uint8_t>*,
              std::string& error) const override {
        error = "planning only";
        return false;
    }
    void MarkDone(const std::string&, int) override {}
    void Discard(const std::vector<std::string>&) override {}

  private:
    static int Index(const std::string& step) {
        const std::vector<std::string>& steps = ZelManifest::Steps();
        return static_cast<int>(std::find(steps.begin(), steps.end(), step) - steps.begin());
    }
    ZelManifest& manifest;
    int firstStep;
};

// Ascending frames as runs: "0:9, 12, 20:31" ("-" for none).
std::string Runs(const std::vector<int>& frames);

// Prints one stage's plan: per step the frames computed, the halo among them (beyond the
// range), the results read back from the manifest; and the maps read from disk.
void PrintPlan(const char* name, const ZelStagePlan& plan, int first, int last,
               const ZelStepJournal* there);

}  // namespace zelrecover
