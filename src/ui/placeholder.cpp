// Widgets of the client live here.
