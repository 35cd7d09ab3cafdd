// placeholder until the window code lands
