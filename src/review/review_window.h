#pragma once

#include <string>

#include "review/export.h"

namespace ombrix {

// What a review session needs of its window, and the only way it reaches the window. The window
// implements it; the command line has a plain one.
class ReviewWindow {
 public:
  virtual ~ReviewWindow() = default;

  // Called on the thread that runs the review commands (the window's):
  // A message box with the caption "Info", the information icon and this one sentence.
  virtual void ShowInfo(const std::string& text) = 0;
  // Stop showing the live video so that the display picture is seen.
  virtual void HideLiveVideo() = 0;
  // A file operation of a command failed (a removal by Delete, a write by Save or Recalculate):
  // what was done, to which file, and why. Shown to the operator once.
  virtual void FileFailed(const std::string& action, const std::string& path,
                          const std::string& reason) = 0;

  // What a command did, or why it did nothing, where no box is called for: the window shows it
  // in its notice strip. The thread that runs the commands.
  virtual void Tell(const std::string& /*text*/) {}
  // Nothing is on display any more: the selection is gone (why: the message just shown), or what
  // it selects has no frame to show (why is empty). The window clears the picture and says so.
  // Any thread; the window must only post a note to its own thread.
  virtual void ShowNothing(const std::string& /*why*/) {}

  // Called on the session's worker threads; the window must only post a note to its own thread:
  // A new frame is on display (ReviewSession::CopyShownFrame).
  virtual void FrameReady() = 0;
  // A replay has ended; ReviewSession::PauseEnabled() may have changed.
  virtual void ReplayEnded() = 0;
  // Save Movie's export to path has ended (written, cancelled, failed, or nothing to write).
  virtual void ExportEnded(const ExportOutcome& /*outcome*/, const std::string& /*path*/) {}
};

}  // namespace ombrix
