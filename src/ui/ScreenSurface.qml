import QtQuick
import Qor.Ui

// The surface under a whole screen: translucent over the desktop with glass on,
// the background colour otherwise.
Rectangle {
    color: Theme.glass ? Theme.screenGlass : Theme.background
}
