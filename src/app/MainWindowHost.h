#pragma once
// What the Merge Parameters and FIT Files windows need of the main window:
// the user's work, the image on display with its picture and view mode, and
// the few commands they trigger there. The main window implements it; the
// other windows never see its class.

#include <functional>
#include <string>

#include "image/FitsImage.h"
#include "merge/MergeEngine.h"
#include "platform/Host.h"
#include "preview/PreviewBitmap.h"

class QSettings;

class MainWindowHost : public CoreHost {
public:
    // The settings file both windows read and write.
    virtual QSettings& Profile() = 0;

    virtual CMergeEngine& Engine() = 0;
    // The image on display and its picture.
    virtual CFitsImage& Image() = 0;
    virtual CPreviewBitmap& Picture() = 0;
    // 0, 1, 2: clipping view of that plane; 3: the image; 4: the deviation.
    virtual int ViewMode() const = 0;
    virtual void SetViewMode(int mode) = 0;
    // The plane the view shows (0 outside the clipping views).
    virtual int GetViewPlane() const = 0;
    virtual const std::string& CurrentPath() const = 0;

    // Makes path the current frame (and reloads it when it already is).
    virtual bool LoadFrame(std::string path) = 0;
    // Shows the image on display, as changed in place, under title.
    virtual void ShowResult(const std::string& title) = 0;
    // Redraws the picture as it is.
    virtual void RepaintPicture() = 0;
    // The main window's "Save..." of the image on display.
    virtual void OnSave() = 0;
    virtual void EnableMerge(bool enable) = 0;
    // Shows the current figures of the rectangles on the info line.
    virtual void UpdateInfoLine() = 0;
    // Where StepProgress goes from now on; empty for nowhere.
    virtual void SetProgressHook(std::function<void(int)> hook) = 0;
    // The image on display is a result of Create that no Save has written yet.
    virtual void MarkResultUnsaved() = 0;
    // The current frame's path as the title; in a clipping view that has
    // nothing to show yet, with the reason.
    virtual void ShowFrameTitle() = 0;

protected:
    ~MainWindowHost() = default;
};
