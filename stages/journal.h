// The record of a stage run on disk, so that a run that was stopped (killed, interrupted, out of
// time on a cluster) can go on where it stopped: every step of every frame whose result is kept
// is listed in a manifest, and the step's map is kept in a work folder beside it.
//
// Manifest (text, one entry a line, appended as each step finishes):
//
//     zel_recover manifest 1
//     options <16 hex digits> <the options it hashes>
//     sweep 12
//     refine 12
//     init 12
//
// An entry is written only after the files it vouches for are complete under their final
// names. Reading it back checks everything: a manifest made with other options, or a malformed
// one, is set aside with a warning and the run starts afresh; a line that does not name a known
// step and a frame of the run is ignored with a warning; a last line without its line end (the
// run was killed while appending it) is ignored silently.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// A map of floats as a headerless file of little-endian floats, written whole; false with the
// reason in error.
bool WriteFloatFile(const std::string& path, const std::vector<float>& values, std::string& error);
// Reads such a file of exactly `count` floats (or, with allowEmpty, of none); false with an
// "ERROR: ..." line in error when it is missing or has another size.
bool ReadFloatFile(const std::string& path, size_t count, bool allowEmpty,
                   std::vector<float>& values, std::string& error);

// Where the stages keep and find per-frame results between runs.
class ZelStepJournal {
  public:
    virtual ~ZelStepJournal() = default;
    // True when the step's result for frame i is recorded and (for a step with a map) its map
    // file is there with the right size.
    virtual bool Done(const std::string& step, int frame) const = 0;
    // Keeps a step's map (and mask, when given) of frame i and records the step. An empty map
    // stands for a frame without one (its picture could not be read).
    virtual bool Save(const std::string& step, int frame, const std::vector<float>& map,
                      const std::vector<uint8_t>* mask, std::string& error) = 0;
    // Reads back what Save kept; false with a reason when the files are missing or damaged.
    virtual bool Load(const std::string& step, int frame, std::vector<float>& map,
                      std::vector<uint8_t>* mask, std::string& error) const = 0;
    // Records a step whose outputs the stages wrote themselves (the stage's last step).
    virtual void MarkDone(const std::string& step, int frame) = 0;
    // Removes the kept maps of these steps (the stage that needed them is complete).
    virtual void Discard(const std::vector<std::string>& steps) = 0;
};

// The journal of zel_recover: a manifest file and a work folder.
class ZelManifest : public ZelStepJournal {
  public:
    // manifestPath: the manifest; workDir: the folder of the kept maps (ends with a separator);
    // frames first .. last: the frames entries may name; pixels: the size of a map; options:
    // the text of the options the results depend on.
    ZelManifest(std::string manifestPath, std::string workDir, int first, int last, size_t pixels,
                std::string options);

    // Reads the manifest back (resume). Keeps nothing when it is missing, unreadable, malformed
    // or made with other options, and returns a "Warning: ..." line for each such problem (and
    // for malformed lines it left out); nothing is printed.
    [[nodiscard]] std::vector<std::string> Read();
    // Starts the manifest afresh (header and options only); false with a reason when it cannot.
    bool Start(std::string& error);
    // The work folder is shared by the shards of one span and option set, which run step by
    // step (zel_recover --until): a map there under its final name is complete (maps are
    // written whole, under a temporary name of their own), so Done also finds the maps other
    // shards kept, and Load reads them. Discard then removes only the maps of the shard's own
    // frames ownFirst .. ownLast that no other frame reads (the fusions'); the others go with
    // DiscardOwn once no shard still to run reads them.
    void Share(int ownFirst, int ownLast);
    // Removes the kept maps of these steps of the own frames (shared) or of every frame.
    void DiscardOwn(const std::vector<std::string>& steps);

    bool Done(const std::string& step, int frame) const override;
    bool Save(const std::string& step, int frame, const std::vector<float>& map,
              const std::vector<uint8_t>* mask, std::string& error) override;
    bool Load(const std::string& step, int frame, std::vector<float>& map,
              std::vector<uint8_t>* mask, std::string& error) const override;
    void MarkDone(const std::string& step, int frame) override;
    void Discard(const std::vector<std::string>& steps) override;

    // The entries read back by Read (for messages).
    int Entries() const { return entries; }
    const std::string& Path() const { return path; }
    // The options' hash as written in the manifest.
    static std::string Hash(const std::string& options);
    // The steps a manifest may name.
    static const std::vector<std::string>& Steps();

  private:
    int StepIndex(const std::string& step) const;
    std::string MapPath(const std::string& step, int frame) const;
    std::string MaskPath(const std::string& step, int frame) const;
    void Append(const std::string& step, int frame);
    bool Recorded(int step, int frame) const;

    std::string path;
    std::string work;
    int first;
    int last;
    bool shared = false;
    int ownFirst;
    int ownLast;
    size_t pixels;
    std::string options;
    std::vector<std::vector<bool>> done;  // [step][frame - first]
    int entries = 0;
    mutable std::mutex mutex;
    std::FILE* file = nullptr;

  public:
    ~ZelManifest() override;
    ZelManifest(const ZelManifest&) = delete;
    ZelManifest& operator=(const ZelManifest&) = delete;
};
