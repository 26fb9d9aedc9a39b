"""inputs"""
