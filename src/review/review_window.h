#pragma once

#include <string>

namespace ombrix {

// What the review code needs of the window, and the only way it reaches the window. The window
// implements it; the command line has a plain one.
class ReviewWindow {
 public:
  virtual ~ReviewWindow() = default;

  // Called on the thread that runs the review commands (the window's):
  // A message box with the caption "Info", the information icon and this one sentence.
  virtual void ShowInfo(const std::string& text) = 0;
  // Stop showing the live video so that the display picture is seen.
  virtual void HideLiveVideo() = 0;
  // A file operation of a command failed (a removal by Delete, a write by Save, Save Movie or
  // Recalculate): what was done, to which file, and why. Shown to the operator once.
  virtual void FileFailed(const std::string& action, const std::string& path,
                          const std::string& reason) = 0;

  // Called on review worker threads; the window must only post a note to its own thread:
  // The review values (replayFrame, displayCount, currentArchiveFile, archiveFrameCount) describe
  // a new frame to show.
  virtual void FrameReady() = 0;
  // A replay has ended; Reviewer::PauseEnabled() may have changed.
  virtual void ReplayEnded() = 0;
};

}  // namespace ombrix
