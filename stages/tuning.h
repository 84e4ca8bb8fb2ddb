// The stages' tuning constants, each with the reason for its value.
#pragma once

#include <limits>

namespace zelstages {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Matching costs are quantised onto 0 .. kCostScale for the aggregation (1 - normalised cross-
// correlation, truncated at 1); eight paths of cost plus jump penalty fit 16 bits.
const int kCostScale = 1000;
const int kP1 = 12;
const int kP2 = 160;
// Grey difference at which the jump penalty halves: depth edges mostly follow image edges.
const float kEdgeGrey = 10.0f;
// Variance floor of the window correlation (grey units squared), so flat windows stay calm; on
// noisy pictures it grows by kNoiseFloor times the picture's noise variance, so that windows
// whose variation is mostly noise correlate weakly instead of at random and the aggregation
// carries the surface in from where the texture stands out (the plain room with noise 4: 86.0 ->
// 91.0 % within 2 %, 53.0 -> 87.2 % within 1 %; 1 or 4 instead of 2: 90.6 %).
const float kVarianceFloor = 2.0f;
const float kNoiseFloor = 2.0f;
// The noise variance that 8-bit pictures carry from rounding alone (the sample measures 0.16
// grey levels, a plain room 0.33): below it the floor stays as it is, so clean pictures match
// exactly as they always did.
const float kQuantisation = 0.25f;
// The refinement matches over the wide window where the reference's small window varies by less
// than this (grey standard deviation): there the small window holds too little texture to place
// the disparity within a percent.
const float kWeakTexture = 4.0f;
// Geometric coherence: weight against the photometric cost and the relative disagreement at
// which the truncated penalty saturates.
const float kGeoWeight = 0.5f;
const float kGeoTolerance = 0.01f;
// Compressed pictures: steps across the 8 x 8 block grid up to this size (grey levels), with flat
// sides, are smoothed before matching and segmenting (Deblock; pictures without a block grid are
// left alone). Fixed in the picture, the steps would otherwise match at no motion.
const float kDeblockStep = 8.0f;
// Consistency: a neighbour confirms a disparity within this relative distance (or within one
// level, whichever is larger).
const float kConsistency = 0.02f;
// A neighbour contradicts a disparity only when it sees farther than the change of disparity
// that moves the pixel's projection by this many times the track residual: cameras that miss
// their tracks by a pixel make two views' maps disagree by that much on a true surface.
const double kPoseTolerance = 2.0;
// Neighbours that must contradict an unconfirmed pixel before it is marked missing.
const int kContradictions = 2;
// Neighbours that must confirm a pixel for it to choose its segment's plane; the others take it.
// One neighbour alone also confirms the halo beside a near edge (it sees the edge there too).
const int kPlaneConfirmations = 3;

// The refinement warps each window with the map median-filtered over (2 r + 1)^2: the median's
// surface is smooth enough to follow slanted ground while single wrong pixels do not bend it.
const int kWarpMedianRadius = 4;

// Rounds of the initialisation's refinement (a quarter, then a sixteenth of a level): the bundle
// optimisation refines every map again, so a third round here changes the final maps by little and
// costs a third of the initialisation's refinement (frames 10 to 19 within 2 %, three rounds
// against two: sample 97.45 / 97.38, noise 4 96.99 / 96.95, plain room with noise 4 93.20 / 93.30,
// pose noise 0.1 with noise 4 96.61 / 96.63, JPEG 85 95.57 / 95.49).
const int kInitRefineRounds = 2;
// Rounds of the bundle optimisation's refinement: the third round (a thirty-second of a level)
// moved the maps by less than the thresholds measure and cost a third of the pass (frames 10 to
// 19, within 1 / 2 %, three rounds against two: sample 96.65 / 97.40 against 96.65 / 97.44,
// noise 4 96.48 / 97.10 against 96.45 / 97.11, JPEG 85 94.21 / 95.50 against 94.26 / 95.56,
// plain room with noise 4 91.08 / 93.02 against 91.32 / 93.09).
const int kOptimiseRefineRounds = 2;

// Rows whose window sums WindowCosts forms together along the row.
const int kSumRows = 2;

// Marks a neighbour cost where the pixel projects outside that neighbour's picture.
const float kOutside = 1e3f;

}  // namespace zelstages
