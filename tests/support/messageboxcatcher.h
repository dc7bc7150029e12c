#pragma once
// placeholder: the message-box catcher arrives with the window
